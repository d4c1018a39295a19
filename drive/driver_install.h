// Installing, upgrading and uninstalling the driver, shared by the window and velmor-drive: the
// driver file in the system folder, its service, the build it runs, and every trace of them.
// Safe when several programs install at once: a service another one created is opened, a start
// that finds the driver running succeeds, and a driver file another one is writing is waited for.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
// The control device, installing and starting the driver when it does not open, and replacing
// a running driver of another build (or one that does not say its build) with the carried one:
// its file is replaced, every drive taken down, and the service stopped and started again,
// which re-creates the recorded drives; the ones it does not are added again. Where the
// running driver cannot stop, or still has a removed drive held open by something (or cannot
// say whether it has), it is used as it is, with its drives added again, and `*restartNeeded`
// (when given) set: the carried driver runs after the next restart. An invalid handle when the
// device still cannot be opened, with what went wrong in `failure` when given.
DeviceHandle OpenControlDevice(DriveSystem &system, InstallFailure *failure = nullptr,
                               bool *restartNeeded = nullptr);

// Whether the driver behind `control` answers the build this program carries.
bool RunsCarriedBuild(DriveSystem &system, const DeviceHandle &control);

// How long a first install waits for a driver file that another program is writing, and for a
// service to stop.
inline constexpr uint32_t kPauseMs = 100;
inline constexpr int kFileBusyPauses = 100;
inline constexpr int kStopPauses = 100;
// A stop request that was accepted while the service still runs, not even stopping (Wine, for a
// driver that cannot unload), is given this long before the driver is taken as unable to stop.
inline constexpr int kStillRunningPauses = 10;

// One step of an uninstall that failed, with the system's error code.
struct UninstallFailure {
  enum class Step {
    kEject,          // a drive (`letter`) is still there
    kDriveInUse,     // a drive (`letter`) removed, still held open: the driver was not stopped
    kServiceManager, // opening the service manager
    kStopService,    // the service did not stop (the driver cannot unload until a restart)
    kDeleteService,
    kDriverFile,  // deleting `path`
    kServiceKey,  // deleting the service's registry key
    kShellVerbs,  // removing Explorer's verb
    kImageServer, // stopping or deleting the image server's service, or deleting its file
  };
  Step step;
  uint32_t code = 0;
  char letter = 0;
  std::string path;
};
// Ejects every recorded drive, removes the image server (its service and file), stops the
// driver's service (not while the driver has a removed
// drive held open: that drive is named instead), deletes it, deletes velmor.sys from
// the system folder (and from the 32-bit programs' folder of a 64-bit system) and the service's
// registry key, and removes Explorer's verb. Every step runs whatever failed before; image files
// are never touched. The steps that failed, in order (empty: everything is gone).
std::vector<UninstallFailure> Uninstall(DriveSystem &system);
} // namespace velmor
