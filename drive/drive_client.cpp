#include "drive_client.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace velmor {
namespace {

// The add record also travels as input, up to its end stop: a driver hosted outside the
// caller's process (Wine) sees only the input, and 1,000 bytes stay below the size that the
// driver refuses.
constexpr uint32_t kAddRecordInputSize = offsetof(AddRecord, endStop);
static_assert(kAddRecordInputSize < kAddRecordSize, "the driver refuses a full-size input");

} // namespace

char UpperLetter(char letter) {
  return letter >= 'a' && letter <= 'z' ? char(letter - 'a' + 'A') : letter;
}

std::string DriveDevicePath(char letter) {
  const char name[2] = {letter, '\0'};
  char path[16];
  std::snprintf(path, sizeof path, kDrivePathFormat, name);
  return path;
}

// The drive type alone does not see every device (under Wine not even the drives of this
// driver), so the device names are asked too.
bool IsDriveLetterFree(DriveSystem &system, char letter) {
  return system.DriveType(letter) == kDriveNoRootDir && system.DosDeviceTarget(letter).empty();
}

char FindFreeDriveLetter(DriveSystem &system) {
  for (char letter = 'C'; letter <= 'Z'; ++letter)
    if (IsDriveLetterFree(system, letter))
      return letter;
  return 'A';
}

DriveRecordError::DriveRecordError(char letter, long code)
    : std::runtime_error("cannot record drive " + std::string(1, letter) +
                         ": in the registry (error " + std::to_string(code) + ")"),
      letter_(letter), code_(code) {}

bool AnyDriveLetterFree(DriveSystem &system) {
  return FindFreeDriveLetter(system) != 'A' || IsDriveLetterFree(system, 'A');
}

namespace {

bool SendClassicAdd(DriveSystem &system, const DeviceHandle &control, const std::string &imagePath,
                    char letter) {
  AddRecord record{};
  record.letter = char16_t(letter);
  const std::u16string path = system.AnsiToUtf16(imagePath);
  std::copy_n(path.begin(), std::min<size_t>(path.size(), kAddRecordPathUnits), record.path);
  // The record goes as the output buffer, where the driver reads it, and as input too.
  AddRecord input = record;
  return system.DeviceControl(control.get(), IOCTL_VELMOR_ADD_DEVICE, &input, kAddRecordInputSize,
                              &record, kAddRecordSize);
}

// Records a drive: for a layout drive its record first, so that the path never stands in the
// table without the record it needs at the next start; for a classic drive any record an
// earlier drive at the letter left is dropped, or the next start would use it.
void RecordDrive(DriveSystem &system, char letter, const std::string &imagePath,
                 const LayoutRecord *record) {
  const std::string name(1, letter);
  if (!record)
    system.DeleteLayoutValue(name);
  else if (const long error = system.SetLayoutValue(name, record, kLayoutRecordSize))
    throw DriveRecordError(letter, error);
  try {
    SaveDriveMapping(system, letter, imagePath);
  } catch (const DriveRecordError &) {
    if (record)
      system.DeleteLayoutValue(name);
    throw;
  }
}

} // namespace

bool AddVirtualDrive(DriveSystem &system, const DeviceHandle &control, const std::string &imagePath,
                     char letter, const formats::DiscLayout *layout) {
  letter = UpperLetter(letter);
  std::unique_ptr<LayoutRecord> record;
  if (layout) {
    record = std::make_unique<LayoutRecord>();
    if (formats::MakeLayoutRecord(*layout, char16_t(letter), record.get()))
      return false;
    if (!system.DeviceControl(control.get(), IOCTL_VELMOR_ADD_LAYOUT, record.get(),
                              kLayoutRecordSize, nullptr, 0))
      return false;
  } else if (!SendClassicAdd(system, control, imagePath, letter)) {
    return false;
  }
  try {
    RecordDrive(system, letter, imagePath, record.get());
  } catch (const DriveRecordError &) {
    RemoveVirtualDrive(system, letter);
    throw;
  }
  BroadcastVolumeChange(system, kDbtDeviceArrival, letter);
  return true;
}

AddResult AddVirtualDriveAtFreeLetter(DriveSystem &system, const DeviceHandle &control,
                                      const std::string &imagePath,
                                      const formats::DiscLayout *layout) {
  for (int attempt = 0; attempt < kAddAttempts; ++attempt) {
    // The letter is not asked about again: another insert may take it in between, and the
    // driver's answer covers that.
    const char letter = FindFreeDriveLetter(system);
    if (letter == 'A' && !IsDriveLetterFree(system, letter))
      return {AddOutcome::kNoFreeLetter, 0};
    if (AddVirtualDrive(system, control, imagePath, letter, layout))
      return {AddOutcome::kAdded, letter};
    // Refused while the letter is still free: the driver refuses the image, not the letter.
    if (IsDriveLetterFree(system, letter))
      return {AddOutcome::kRefused, 0};
  }
  return {AddOutcome::kRefused, 0};
}

bool RemoveVirtualDrive(DriveSystem &system, char letter) {
  const std::string path = DriveDevicePath(UpperLetter(letter));
  // A file system mounted on the drive would outlive its device and never let go of the
  // volume. Taking it down is a best effort: a volume whose image is gone does not open.
  if (DeviceHandle volume(system, system.OpenDevice(path)); volume.valid()) {
    // A dismount without the lock would pull the volume from under every handle open on it.
    if (system.DeviceControl(volume.get(), fsctl::kLockVolume, nullptr, 0, nullptr, 0)) {
      system.DeviceControl(volume.get(), fsctl::kDismountVolume, nullptr, 0, nullptr, 0);
      system.DeviceControl(volume.get(), fsctl::kUnlockVolume, nullptr, 0, nullptr, 0);
    }
  }
  DeviceHandle drive(system, system.OpenDeviceWithoutAccess(path));
  return drive.valid() &&
         system.DeviceControl(drive.get(), IOCTL_VELMOR_REMOVE_DEVICE, nullptr, 0, nullptr, 0);
}

namespace {

std::string RecordedPath(DriveSystem &system, char letter) {
  for (const auto &[name, path] : system.DriveValues())
    if (name == std::string(1, letter))
      return path;
  return {};
}

} // namespace

bool EjectVirtualDrive(DriveSystem &system, char letter) {
  letter = UpperLetter(letter);
  const std::string image = RecordedPath(system, letter);
  DeleteDriveMapping(system, letter); // first, whatever follows
  // A record can outlive its drive, and its letter may since belong to another device (a USB
  // disk): nothing is sent to a volume that is not one of ours.
  bool removed = false;
  if (IsVelmorDevice(system.DosDeviceTarget(letter))) {
    removed = RemoveVirtualDrive(system, letter);
    if (removed)
      BroadcastVolumeChange(system, kDbtDeviceRemoveComplete, letter);
  }
  // Made for this drive alone; one still in use goes at the next start's clean-up.
  if (!image.empty() && IsFolderDiscImage(system, image))
    RemoveFolderDiscImage(system, image);
  return removed;
}

void SaveDriveMapping(DriveSystem &system, char letter, const std::string &imagePath) {
  letter = UpperLetter(letter);
  if (const long error = system.SetDriveValue(std::string(1, letter), imagePath))
    throw DriveRecordError(letter, error);
}

void DeleteDriveMapping(DriveSystem &system, char letter) {
  const std::string name(1, UpperLetter(letter));
  system.DeleteDriveValue(name);
  system.DeleteLayoutValue(name);
}

void BroadcastVolumeChange(DriveSystem &system, uint32_t event, char letter) {
  const VolumeNotice notice = MakeVolumeNotice(UpperLetter(letter));
  for (int i = 0; i < NoticeRepeats(event); ++i)
    system.BroadcastDeviceChange(event, notice);
}

} // namespace velmor
