#include "driver_install.h"

#include <algorithm>
#include <cstring>

#include "drive_client.h"
#include "recorded_drives.h"
#include "served_client.h"
#include "velmor_build_identity.h"

namespace velmor {
namespace {

constexpr uint32_t kDriverWritePiece = 256;

// The control device's path, opened the same way before and after installing the driver.
DeviceHandle OpenControl(DriveSystem &system) {
  return DeviceHandle(system, system.OpenDevice(kControlDevicePath));
}

// File names under the system directory mean the system's own files while this lives: the
// driver goes where the kernel and the service manager look, never to the folder kept for
// 32-bit programs. Nothing else may happen meanwhile (a library loaded now would be the
// system's 64-bit one).
class NativeSystemFiles {
public:
  explicit NativeSystemFiles(DriveSystem &system)
      : system_(system.Is64BitSystem() ? &system : nullptr) {
    if (system_)
      system_->SetFileRedirection(false);
  }
  ~NativeSystemFiles() {
    if (system_)
      system_->SetFileRedirection(true);
  }
  NativeSystemFiles(const NativeSystemFiles &) = delete;
  NativeSystemFiles &operator=(const NativeSystemFiles &) = delete;

private:
  DriveSystem *system_;
};

// One byte more than the driver tells a longer file from it.
bool ReadDriverFile(DriveSystem &system, const std::string &path, EmbeddedFile driver,
                    std::vector<uint8_t> &bytes) {
  return system.ReadFileStart(path, driver.size + 1, bytes);
}
bool SameBytes(const std::vector<uint8_t> &bytes, EmbeddedFile driver) {
  return bytes.size() == driver.size && std::equal(bytes.begin(), bytes.end(), driver.data);
}

// One attempt at the file: 0, or the system's error code of what failed.
uint32_t WriteDriverFile(DriveSystem &system, const std::string &path, EmbeddedFile driver) {
  std::vector<uint8_t> bytes;
  // Any other file there (a driver for the other processor, an older build, the remains of a
  // write that failed) would keep the driver from ever starting: it is replaced.
  if (ReadDriverFile(system, path, driver, bytes) && SameBytes(bytes, driver))
    return 0;
  {
    DeviceHandle file(system, system.CreateFileForWrite(path));
    if (!file.valid())
      return system.LastError();
    // Every byte, including the debug records past the last section.
    for (uint32_t at = 0; at < driver.size; at += kDriverWritePiece)
      if (!system.WriteFile(file.get(), driver.data + at,
                            std::min(kDriverWritePiece, driver.size - at)))
        return system.LastError();
  }
  if (!ReadDriverFile(system, path, driver, bytes))
    return system.LastError();
  return SameBytes(bytes, driver) ? 0 : syserr::kWriteFault;
}

// The service by name, opened with the rights to start, stop and delete it; kNoService when it
// does not exist or cannot be opened.
class ServiceHandle {
public:
  ServiceHandle(DriveSystem &system, DriveSystem::Handle handle)
      : system_(system), handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != DriveSystem::kNoService)
      system_.CloseService(handle_);
  }
  ServiceHandle(const ServiceHandle &) = delete;
  ServiceHandle &operator=(const ServiceHandle &) = delete;
  DriveSystem::Handle get() const { return handle_; }
  bool valid() const { return handle_ != DriveSystem::kNoService; }

private:
  DriveSystem &system_;
  DriveSystem::Handle handle_;
};

// Stops the service and waits until it has stopped; false when it cannot (the stop refused,
// or accepted while the driver goes on running, as Wine does for a driver without unload).
// False when the service refused the stop (its code in `refusal`) or accepted it and kept running
// (`refusal` 0).
bool StopService(DriveSystem &system, DriveSystem::Handle service, std::uint32_t *refusal) {
  using State = DriveSystem::ServiceState;
  *refusal = 0;
  if (system.QueryServiceState(service) == State::kStopped)
    return true;
  if (!system.StopDriverService(service) && system.LastError() != syserr::kServiceNotActive) {
    *refusal = system.LastError();
    return false;
  }
  int stillRunning = 0;
  for (int i = 0; i < kStopPauses; ++i) {
    const State state = system.QueryServiceState(service);
    if (state == State::kStopped)
      return true;
    if (state == State::kRunning && ++stillRunning > kStillRunningPauses)
      return false;
    system.Pause(kPauseMs);
  }
  return false;
}

// The running driver of another build is stopped and the carried one started in its place (its
// file already replaced); false when the running one cannot stop.
bool RestartService(DriveSystem &system) {
  const DriveSystem::Handle managerHandle = system.OpenServiceManager();
  if (managerHandle == DriveSystem::kNoService)
    return false;
  ServiceHandle manager(system, managerHandle);
  ServiceHandle service(system, system.OpenDriverService(manager.get(), kServiceName));
  std::uint32_t refusal = 0;
  if (!service.valid() || !StopService(system, service.get(), &refusal))
    return false;
  // Another program may have started it again meanwhile: running is what counts.
  system.StartDriverService(service.get());
  return true;
}

std::string DriverPath(DriveSystem &system) { return GetSystemDirPath(system) + kDriverFileName; }

// Where the running driver's file is moved to make way for the carried one.
std::string AsidePath(const std::string &driverPath) { return driverPath + ".old"; }

// The running driver's image holds its file: it cannot be written, but it can be renamed. The
// old file is moved aside, the carried one written in its place, and the old one deleted (now,
// or when the system next starts if it is still in use). 0, or the system's error code.
uint32_t ReplaceRunningDriverFile(DriveSystem &system, const std::string &path,
                                  EmbeddedFile driver) {
  NativeSystemFiles native(system);
  if (WriteDriverFile(system, path, driver) == 0)
    return 0;
  const std::string aside = AsidePath(path);
  system.RemoveFile(aside); // left by an earlier upgrade
  if (!system.RenameFile(path, aside))
    return system.LastError();
  if (const uint32_t error = WriteDriverFile(system, path, driver)) {
    system.RenameFile(aside, path);
    return error;
  }
  if (!system.RemoveFile(aside))
    system.RemoveFileAtRestart(aside);
  return 0;
}

} // namespace

std::string GetSystemDirPath(DriveSystem &system) {
  std::string dir = system.SystemDirectory();
  if (dir.empty() || dir.back() != '\\')
    dir += '\\';
  return dir;
}

EmbeddedFile DriverFileForSystem(DriveSystem &system) {
  return system.Is64BitSystem() ? EmbeddedDriverFileX64() : EmbeddedDriverFile();
}

uint32_t PlaceDriverFile(DriveSystem &system, const std::string &path, EmbeddedFile driver) {
  NativeSystemFiles native(system);
  // Another program installing at the same time holds the file open while it writes the same
  // bytes: wait for it to finish, then find them there.
  uint32_t error = 0;
  for (int i = 0; i < kFileBusyPauses; ++i) {
    error = WriteDriverFile(system, path, driver);
    if (error != syserr::kSharingViolation)
      return error;
    system.Pause(kPauseMs);
  }
  return error;
}

InstallFailure InstallAndStartService(DriveSystem &system, DriveSystem::Handle manager,
                                      const std::string &name, const std::string &driverPath) {
  using Step = InstallFailure::Step;
  DriveSystem::Handle service = system.OpenDriverService(manager, name);
  if (service == DriveSystem::kNoService) {
    service = system.CreateKernelService(manager, name, driverPath);
    // Created by another program between the open and the create: it is the same service.
    if (service == DriveSystem::kNoService && system.LastError() == syserr::kServiceExists)
      service = system.OpenDriverService(manager, name);
  }
  if (service == DriveSystem::kNoService)
    return {Step::kService, system.LastError(), driverPath};
  InstallFailure result;
  if (!system.StartDriverService(service)) {
    const uint32_t error = system.LastError();
    if (error != syserr::kServiceAlreadyRunning)
      result = {Step::kStart, error, driverPath};
  }
  system.CloseService(service);
  return result;
}

bool RunsCarriedBuild(DriveSystem &system, const DeviceHandle &control) {
  uint8_t answer[kBuildAnswerSize] = {};
  if (!system.DeviceControl(control.get(), IOCTL_VELMOR_GET_BUILD, nullptr, 0, answer,
                            sizeof answer))
    return false; // a driver from before the request
  const uint32_t version = answer[0] | answer[1] << 8 | answer[2] << 16 | uint32_t(answer[3]) << 24;
  return version == kBuildProtocolVersion &&
         std::memcmp(answer + 4, kDriverBuildIdentity, kBuildIdentitySize) == 0;
}

DeviceHandle OpenControlDevice(DriveSystem &system, InstallFailure *failure, bool *restartNeeded) {
  using Step = InstallFailure::Step;
  const std::string driverPath = DriverPath(system);
  DeviceHandle control = OpenControl(system);
  if (control.valid()) {
    if (RunsCarriedBuild(system, control))
      return control;
    // Another build runs. Its file is replaced first, so that whatever happens next (a stop, a
    // restart of the machine) starts the carried one; the running driver is kept when its file
    // cannot be written (the program then talks to it as before).
    if (ReplaceRunningDriverFile(system, driverPath, DriverFileForSystem(system)))
      return control;
    // A drive that something still references when the service stops keeps the driver from
    // unloading, and every drive and the control device then stay dead until the machine
    // restarts. So every drive is taken down first (records kept), and the driver asked
    // whether a removed one is still held; a driver that cannot say is not stopped either.
    // The server's handles on the control device would keep the driver from unloading: its
    // drives go first, through it, and it makes them again once the driver runs.
    bool serverWasRunning = false;
    const bool serverReleased = ReleaseServedDrives(system, &serverWasRunning);
    const std::vector<char> takenDown = TakeDownDrives(system);
    uint32_t held = 0;
    const bool stoppable = serverReleased && AskHeld(system, control, &held) && held == 0;
    control.reset(); // a handle held open on the driver would keep it from unloading
    const bool restarted = stoppable && RestartService(system);
    control = OpenControl(system);
    if (!restarted && restartNeeded)
      *restartNeeded = true;
    // The drives start-up did not make again (recorded without identities), or all of them
    // when the running driver stays: nothing is left without its drive.
    // A carried driver that does not start (a refused signature, say) is told like a first
    // install's: the steps below find the file in place and the start's answer; its drives
    // come back with it at the next start.
    if (control.valid()) {
      AddTakenDownDrives(system, control, takenDown);
      RestoreServedDrives(system, serverWasRunning);
      return control;
    }
  }
  // The path the service manager reads, the same for a 32-bit and a 64-bit system.
  InstallFailure why{Step::kNone, 0, driverPath};
  if (const uint32_t error = PlaceDriverFile(system, driverPath, DriverFileForSystem(system))) {
    why = {Step::kDriverFile, error, driverPath};
  } else if (const DriveSystem::Handle manager = system.OpenServiceManager();
             manager == DriveSystem::kNoService) {
    why = {Step::kServiceManager, system.LastError(), driverPath};
  } else {
    why = InstallAndStartService(system, manager, kServiceName, driverPath);
    system.CloseService(manager);
  }
  // Whatever the steps answered, the second open decides.
  control = OpenControl(system);
  if (!control.valid() && failure)
    *failure = why;
  return control;
}

std::vector<UninstallFailure> Uninstall(DriveSystem &system) {
  using Step = UninstallFailure::Step;
  std::vector<UninstallFailure> failed;
  // Every recorded drive goes as an eject takes it; a drive the driver still has keeps it
  // from stopping.
  for (const auto &[name, path] : system.DriveValues()) {
    if (name.size() != 1)
      continue;
    if (!EjectVirtualDrive(system, name[0]) && HasDriveOfOurs(system, name[0]))
      failed.push_back({Step::kEject, 0, name[0], {}});
  }
  // Drives that no record names (their record was lost) would keep the driver from stopping.
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    if (HasDriveOfOurs(system, letter) && !TakeDownDrive(system, letter) &&
        std::none_of(failed.begin(), failed.end(),
                     [&](const UninstallFailure &f) { return f.letter == letter; }))
      failed.push_back({Step::kEject, 0, letter, {}});
  // A removed drive that something still references (a program with a file open on it)
  // would keep the stopped driver from unloading: the driver keeps running, and says so,
  // until the machine restarts.
  uint32_t held = 0;
  if (const DeviceHandle control = OpenRunningControlDevice(system); control.valid())
    AskHeld(system, control, &held);
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    if (held >> (letter - 'A') & 1)
      failed.push_back({Step::kDriveInUse, 0, letter, {}});
  // The folder discs' images went with their drives; what a run that ended early left goes too,
  // and with it the folders the program made for them.
  CleanFolderDiscCache(system);
  RemoveEmptyCacheFolder(system);
  // Its service depends on the driver's, and a stop of the driver waits for it.
  if (const uint32_t error = RemoveImageServer(system))
    failed.push_back({Step::kImageServer, error, 0, ServerBinaryPath(system)});
  const DriveSystem::Handle managerHandle = system.OpenServiceManager();
  if (managerHandle == DriveSystem::kNoService) {
    failed.push_back({Step::kServiceManager, system.LastError(), 0, {}});
  } else {
    ServiceHandle manager(system, managerHandle);
    ServiceHandle service(system, system.OpenDriverService(manager.get(), kServiceName));
    if (service.valid()) {
      if (std::uint32_t refusal = 0; held == 0 && !StopService(system, service.get(), &refusal))
        failed.push_back({Step::kStopService, refusal, 0, {}});
      if (!system.DeleteDriverService(service.get()) &&
          system.LastError() != syserr::kServiceMarkedForDelete)
        failed.push_back({Step::kDeleteService, system.LastError(), 0, {}});
    }
  }
  // The system's own folder, and on a 64-bit system also the one of 32-bit programs, where an
  // earlier build of the program may have written it.
  const std::string driverPath = DriverPath(system);
  {
    NativeSystemFiles native(system);
    // The image of a driver still running may refuse the delete (Windows) or keep the file
    // until the driver goes (Wine): it is then deleted when the system next starts.
    const bool deleted = system.RemoveFile(driverPath);
    const uint32_t error = deleted ? 0 : system.LastError();
    if (!deleted || system.KindOfPath(driverPath) != DriveSystem::PathKind::kMissing) {
      failed.push_back({Step::kDriverFile, error, 0, driverPath});
      system.RemoveFileAtRestart(driverPath);
    }
    if (!system.RemoveFile(AsidePath(driverPath))) // an upgrade's leftover, when still in use
      system.RemoveFileAtRestart(AsidePath(driverPath));
  }
  if (system.Is64BitSystem() && !system.RemoveFile(driverPath)) {
    const std::string dir = GetSystemDirPath(system);
    const std::string wow64 =
        dir.substr(0, dir.find_last_of('\\', dir.size() - 2) + 1) + "SysWOW64\\" + kDriverFileName;
    failed.push_back({Step::kDriverFile, system.LastError(), 0, wow64});
  }
  if (const long error = system.DeleteServiceKey(kServiceName))
    failed.push_back({Step::kServiceKey, uint32_t(error), 0, {}});
  if (const long error = system.RemoveShellVerbs())
    failed.push_back({Step::kShellVerbs, uint32_t(error), 0, {}});
  return failed;
}

InstallProblem ProblemOf(const InstallFailure &f) {
  using Step = InstallFailure::Step;
  switch (f.step) {
  case Step::kNone:
    break;
  case Step::kDriverFile:
    if (f.code == syserr::kDiskFull || f.code == syserr::kHandleDiskFull)
      return InstallProblem::kDiskFull;
    return f.code == syserr::kAccessDenied ? InstallProblem::kDriverFileDenied
                                           : InstallProblem::kDriverFileNotWritten;
  case Step::kServiceManager:
  case Step::kService:
    if (f.code != syserr::kAccessDenied)
      return InstallProblem::kServiceNotRegistered;
    break;
  case Step::kStart:
    switch (f.code) {
    case syserr::kAccessDenied:
      break;
    case syserr::kInvalidImageHash:
      return InstallProblem::kSignatureRefused;
    case syserr::kFileNotFound:
      return InstallProblem::kDriverFileMissing;
    case syserr::kBadExeFormat:
      return InstallProblem::kWrongProcessor;
    default:
      return InstallProblem::kServiceNotStarted;
    }
  }
  return InstallProblem::kNeedsAdministrator;
}

} // namespace velmor
