#include "drive_client.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "recorded_drives.h"
#include "served_client.h"

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

// A letter whose recorded drive is not mounted (start-up skipped it) is kept for it: the user
// settles it by mounting its image there again or by ejecting it.
char FindFreeDriveLetter(DriveSystem &system) {
  const auto values = system.DriveValues();
  for (char letter = 'C'; letter <= 'Z'; ++letter)
    if (IsDriveLetterFree(system, letter) &&
        std::none_of(values.begin(), values.end(),
                     [&](const auto &value) { return value.first == std::string(1, letter); }))
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

// What an add answered about the files its drive reads: one identity per file, as the registry
// keeps it; empty when the driver answered none (a build from before identities).
using Identities = std::vector<uint8_t>;

bool SendClassicAdd(DriveSystem &system, const DeviceHandle &control, const std::string &imagePath,
                    char letter, Identities &identities) {
  AddRecord record{};
  record.letter = char16_t(letter);
  const std::u16string path = system.AnsiToUtf16(imagePath);
  std::copy_n(path.begin(), std::min<size_t>(path.size(), kAddRecordPathUnits), record.path);
  // The driver reads the record from the input; a build from before that reads it from the
  // output buffer, which therefore holds it too and keeps the record's full size. The answer,
  // the image's identity, comes back at the start of that buffer.
  AddRecord input = record;
  uint32_t answered = 0;
  if (!system.DeviceControl(control.get(), IOCTL_VELMOR_ADD_DEVICE, &input, kAddRecordInputSize,
                            &record, kAddRecordSize, &answered))
    return false;
  if (answered == sizeof(FileIdentity)) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
    identities.assign(bytes, bytes + sizeof(FileIdentity));
  }
  return true;
}

bool SendLayoutAdd(DriveSystem &system, const DeviceHandle &control, const LayoutRecord &record,
                   Identities &identities) {
  Identities answer(record.fileCount * sizeof(FileIdentity));
  uint32_t answered = 0;
  if (!system.DeviceControl(control.get(), IOCTL_VELMOR_ADD_LAYOUT, &record, kLayoutRecordSize,
                            answer.data(), uint32_t(answer.size()), &answered))
    return false;
  if (answered == answer.size())
    identities = std::move(answer);
  return true;
}

// Records a drive: for a layout drive its record, then the identities of its files, then its
// path, so that the path never stands in the table without what the next start needs beside
// it. Whatever an earlier drive at the letter left (a layout record, identities) is dropped
// where this drive has none, or the next start would use it. A value the registry refuses
// takes the ones written before it away again.
void RecordDrive(DriveSystem &system, char letter, const std::string &imagePath,
                 const LayoutRecord *record, const Identities &identities) {
  const std::string name(1, letter);
  system.DeleteServedValue(name); // the driver's own drive now: no server makes it again
  if (!record)
    system.DeleteLayoutValue(name);
  else if (const long error = system.SetLayoutValue(name, record, kLayoutRecordSize))
    throw DriveRecordError(letter, error);
  long error = 0;
  if (identities.empty())
    system.DeleteIdentityValue(name);
  else
    error = system.SetIdentityValue(name, identities.data(), uint32_t(identities.size()));
  try {
    if (error)
      throw DriveRecordError(letter, error);
    SaveDriveMapping(system, letter, imagePath);
  } catch (const DriveRecordError &) {
    if (record)
      system.DeleteLayoutValue(name);
    system.DeleteIdentityValue(name);
    throw;
  }
}

} // namespace

bool AddVirtualDrive(DriveSystem &system, const DeviceHandle &control, const std::string &imagePath,
                     char letter, const formats::DiscLayout *layout) {
  letter = UpperLetter(letter);
  std::unique_ptr<LayoutRecord> record;
  Identities identities;
  if (layout) {
    record = std::make_unique<LayoutRecord>();
    if (formats::MakeLayoutRecord(*layout, char16_t(letter), record.get()))
      return false;
    if (!SendLayoutAdd(system, control, *record, identities))
      return false;
  } else if (!SendClassicAdd(system, control, imagePath, letter, identities)) {
    return false;
  }
  try {
    RecordDrive(system, letter, imagePath, record.get(), identities);
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

namespace {

enum class Removal { kRemoved, kDidNotOpen, kStillThere };

// The refusal's system code goes to `refusal` when the drive still answers.
Removal RemoveOnce(DriveSystem &system, const std::string &path, uint32_t *refusal) {
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
  if (!drive.valid())
    return Removal::kDidNotOpen;
  if (system.DeviceControl(drive.get(), IOCTL_VELMOR_REMOVE_DEVICE, nullptr, 0, nullptr, 0))
    return Removal::kRemoved;
  // Wine answers a remove that deleted its device with a failure, sent after the device is
  // gone. What counts is whether the device still answers through the handle the remove went
  // by: the letter itself may already name another drive, added meanwhile by someone else.
  *refusal = system.LastError();
  uint8_t version[kVersionAnswerSize];
  if (!system.DeviceControl(drive.get(), IOCTL_VELMOR_GET_VERSION, nullptr, 0, version,
                            sizeof version))
    return Removal::kRemoved;
  return Removal::kStillThere;
}

} // namespace

bool RemoveVirtualDrive(DriveSystem &system, char letter) {
  const std::string path = DriveDevicePath(UpperLetter(letter));
  for (int attempt = 1;; ++attempt) {
    uint32_t refusal = 0;
    const Removal removal = RemoveOnce(system, path, &refusal);
    if (removal == Removal::kRemoved)
      return true;
    // A device that does not open is gone, or was never there; one that refuses an
    // administrator only may be busy for a moment.
    if (removal == Removal::kDidNotOpen || attempt == kRemoveAttempts ||
        refusal == syserr::kPrivilegeNotHeld)
      return false;
    system.Pause(kRemovePauseMs);
  }
}

bool TakeDownDrive(DriveSystem &system, char letter) {
  if (!RemoveVirtualDrive(system, letter))
    return false;
  BroadcastVolumeChange(system, kDbtDeviceRemoveComplete, letter);
  return true;
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
  if (system.HasServedValue(std::string(1, letter)))
    return EjectServedDrive(system, letter);
  const std::string image = RecordedPath(system, letter);
  DeleteDriveMapping(system, letter); // first, whatever follows
  // A record can outlive its drive, and its letter may since belong to another device (a USB
  // disk): nothing is sent to a volume that is not one of ours.
  const bool removed =
      IsVelmorDevice(system.DosDeviceTarget(letter)) && TakeDownDrive(system, letter);
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
  system.DeleteServedValue(name);
  system.DeleteIdentityValue(name);
}

void BroadcastVolumeChange(DriveSystem &system, uint32_t event, char letter) {
  const VolumeNotice notice = MakeVolumeNotice(UpperLetter(letter));
  for (int i = 0; i < NoticeRepeats(event); ++i)
    system.BroadcastDeviceChange(event, notice);
}

} // namespace velmor
