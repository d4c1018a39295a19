// The program's side of the virtual drive: puts the driver on disk, registers and starts it,
// opens its control device, adds and removes drives, records them in the registry and
// announces them. Everything runs synchronously on the caller's thread over a DriveSystem.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "disc_image.h"
#include "drive_system.h"

namespace velmor {

// An open file or device handle of a DriveSystem, closed when it goes.
class DeviceHandle {
public:
  DeviceHandle() = default;
  DeviceHandle(DriveSystem &system, DriveSystem::Handle handle)
      : system_(&system), handle_(handle) {}
  ~DeviceHandle() { reset(); }
  DeviceHandle(DeviceHandle &&o) noexcept
      : system_(o.system_), handle_(std::exchange(o.handle_, DriveSystem::kInvalidHandle)) {}
  DeviceHandle &operator=(DeviceHandle &&o) noexcept {
    if (this != &o) {
      reset();
      system_ = o.system_;
      handle_ = std::exchange(o.handle_, DriveSystem::kInvalidHandle);
    }
    return *this;
  }
  DeviceHandle(const DeviceHandle &) = delete;
  DeviceHandle &operator=(const DeviceHandle &) = delete;

  bool valid() const { return handle_ != DriveSystem::kInvalidHandle; }
  DriveSystem::Handle get() const { return handle_; }
  void reset() {
    if (valid())
      system_->Close(std::exchange(handle_, DriveSystem::kInvalidHandle));
  }

private:
  DriveSystem *system_ = nullptr;
  DriveSystem::Handle handle_ = DriveSystem::kInvalidHandle;
};

// The driver files carried by the program (velmor.sys as built), one for each processor.
struct EmbeddedFile {
  const uint8_t *data;
  uint32_t size;
};
EmbeddedFile EmbeddedDriverFile();    // i386
EmbeddedFile EmbeddedDriverFileX64(); // x86-64
// The one the running system loads: a 64-bit system loads only 64-bit drivers.
EmbeddedFile DriverFileForSystem(DriveSystem &system);

// The step of installing the driver that failed, with the system's error code.
struct InstallFailure {
  enum class Step {
    kNone,           // nothing failed that the client saw, yet the device did not open
    kDriverFile,     // writing the driver file, or reading it back
    kServiceManager, // opening the service manager
    kService,        // creating the service
    kStart,          // starting the service
  };
  Step step = Step::kNone;
  uint32_t code = 0;
  std::string driverPath; // the driver file's path
};

// What a failed install comes down to for the user, by the step and the system's error code.
enum class InstallProblem {
  kNeedsAdministrator,   // also when nothing the client saw failed
  kDiskFull,             // writing the driver file
  kDriverFileDenied,     // writing the driver file
  kDriverFileNotWritten, // any other failure of the write or its read back
  kServiceNotRegistered,
  kSignatureRefused,  // the start: the system refused the signature or the image's hash
  kDriverFileMissing, // the start
  kWrongProcessor,    // the start: a driver for another processor
  kServiceNotStarted, // the start, for any other reason
};
InstallProblem ProblemOf(const InstallFailure &failure);

// The system directory, always ending in "\".
std::string GetSystemDirPath(DriveSystem &system);
// Puts `driver` at `path` unless the file there already holds exactly its bytes, checking
// every write and reading the file back; 0, or the system's error code of what failed.
uint32_t PlaceDriverFile(DriveSystem &system, const std::string &path, EmbeddedFile driver);
// Opens the service or creates it as an auto-start kernel driver and starts it; 0 when the
// start request was accepted or the service already runs, else the failed step and its code.
InstallFailure InstallAndStartService(DriveSystem &system, DriveSystem::Handle manager,
                                      const std::string &name, const std::string &driverPath);
// The control device, installing and starting the driver when it does not open; an invalid
// handle when it still cannot be opened, with what went wrong in `failure` when given.
DeviceHandle OpenControlDevice(DriveSystem &system, InstallFailure *failure = nullptr);
// The first letter from C to Z that names no drive and no device, else 'A'.
char FindFreeDriveLetter(DriveSystem &system);
// True when `letter` names no drive and no device.
bool IsDriveLetterFree(DriveSystem &system, char letter);
// True when some letter is free; FindFreeDriveLetter then gives one (unless another program
// takes it meanwhile).
bool AnyDriveLetterFree(DriveSystem &system);

// The registry would not take a drive's value.
class DriveRecordError : public std::runtime_error {
public:
  DriveRecordError(char letter, long code);
  char letter() const { return letter_; }
  long code() const { return code_; } // the system's error code
private:
  char letter_;
  long code_;
};

// Asks the driver for a drive at `letter` for the image at `imagePath` (ANSI), by the classic
// add request or, given a layout, by the layout request; on success records and announces it.
// True if the driver accepted. When the record fails, the drive is removed again and
// DriveRecordError thrown: a drive that is not recorded could be neither shown nor ejected.
bool AddVirtualDrive(DriveSystem &system, const DeviceHandle &control, const std::string &imagePath,
                     char letter, const formats::DiscLayout *layout = nullptr);

enum class AddOutcome { kAdded, kNoFreeLetter, kRefused };
struct AddResult {
  AddOutcome outcome;
  char letter; // the drive's letter when added
};
// How many letters one insert tries when others are taken by concurrent inserts: each letter
// lost went to another insert, so an insert gets through beside seven others at once.
inline constexpr int kAddAttempts = 8;
// AddVirtualDrive at the first free letter. When the driver refuses because the letter was
// taken meanwhile (another insert got there first), the next free letter is tried.
AddResult AddVirtualDriveAtFreeLetter(DriveSystem &system, const DeviceHandle &control,
                                      const std::string &imagePath,
                                      const formats::DiscLayout *layout = nullptr);

// Takes the drive's volume down as far as the system lets it, then asks the drive's device
// to remove itself, opening it without mounting anything; true if it accepted.
bool RemoveVirtualDrive(DriveSystem &system, char letter);
// Forgets the drive's record, then removes the drive and announces it; true if the drive
// accepted the remove.
bool EjectVirtualDrive(DriveSystem &system, char letter);
// Records letter -> image path; throws DriveRecordError when the registry refuses.
void SaveDriveMapping(DriveSystem &system, char letter, const std::string &imagePath);
// Forgets the letter's path and its layout record.
void DeleteDriveMapping(DriveSystem &system, char letter);
// Announces a volume arriving (once) or going (twice).
void BroadcastVolumeChange(DriveSystem &system, uint32_t event, char letter);

// "\\.\L:" for a drive letter.
std::string DriveDevicePath(char letter);
// True when the letter's device name belongs to a drive of the driver.
bool IsVelmorDevice(const std::string &dosDeviceTarget);

} // namespace velmor
