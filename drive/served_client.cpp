#include "served_client.h"

#include <cstring>

#include "drive_client.h"
#include "recorded_drives.h"
#include "velmor_server_identity.h"

namespace velmor {
namespace {

struct ServiceHandle {
  ServiceHandle(DriveSystem &s, DriveSystem::Handle h) : system(s), handle(h) {}
  ~ServiceHandle() {
    if (handle != DriveSystem::kNoService)
      system.CloseService(handle);
  }
  ServiceHandle(const ServiceHandle &) = delete;
  ServiceHandle &operator=(const ServiceHandle &) = delete;
  bool valid() const { return handle != DriveSystem::kNoService; }
  DriveSystem &system;
  DriveSystem::Handle handle;
};

// The server answers Hello with this build's identity.
enum class Hello { kThisBuild, kOtherBuild, kNoAnswer };
Hello SayHello(DriveSystem &system) {
  bool reached = false;
  channel::Request request;
  request.kind = channel::Kind::kHello;
  const channel::Reply reply = AskServer(system, request, &reached);
  if (!reached)
    return Hello::kNoAnswer;
  return reply.status == channel::Status::kOk &&
                 std::memcmp(reply.identity, kServerBuildIdentity, sizeof reply.identity) == 0
             ? Hello::kThisBuild
             : Hello::kOtherBuild;
}

// The first answer of a server that is starting; kNoAnswer when none comes in time.
Hello WaitForAnswer(DriveSystem &system) {
  for (int i = 0; i < kServerAnswerPauses; ++i) {
    if (const Hello hello = SayHello(system); hello != Hello::kNoAnswer)
      return hello;
    system.Pause(kPauseMs);
  }
  return Hello::kNoAnswer;
}

// Stops the service and waits for it; false when it does not stop.
bool StopServer(DriveSystem &system, DriveSystem::Handle service) {
  using State = DriveSystem::ServiceState;
  if (system.QueryServiceState(service) == State::kStopped)
    return true;
  // Refused (its process ended without a word, say): nothing to wait for.
  if (!system.StopDriverService(service))
    return system.QueryServiceState(service) == State::kStopped;
  for (int i = 0; i < kStopPauses; ++i) {
    if (system.QueryServiceState(service) == State::kStopped)
      return true;
    system.Pause(kPauseMs);
  }
  return false;
}

bool Send(DriveSystem &system, channel::Kind kind, char letter = 0) {
  bool reached = false;
  channel::Request request;
  request.kind = kind;
  request.letter = char16_t(letter);
  return AskServer(system, request, &reached).status == channel::Status::kOk && reached;
}

} // namespace

bool IsServedImage(DriveSystem &system, const std::string &fullPath) {
  // The image formats know which images only the server reads; asked before any refusal of a
  // share, which the server may read where the driver may not.
  return formats::DetectImage(system.ImageFiles(), system.AnsiToUtf16(fullPath)).kind ==
         formats::ImageKind::kServed;
}

std::string ServerBinaryPath(DriveSystem &system) {
  const std::string dir = GetSystemDirPath(system);
  if (!system.Is64BitSystem())
    return dir + channel::kServerFileName;
  // The service manager of a 64-bit system reads the path without the 32-bit programs'
  // redirection: it names that folder itself.
  return dir.substr(0, dir.find_last_of('\\', dir.size() - 2) + 1) + "SysWOW64\\" +
         channel::kServerFileName;
}

channel::Reply AskServer(DriveSystem &system, const channel::Request &request, bool *reached) {
  std::vector<uint8_t> bytes;
  channel::Reply reply;
  *reached = system.CallServer(channel::EncodeRequest(request), bytes) &&
             channel::DecodeReply(bytes.data(), bytes.size(), request.kind, &reply);
  if (!*reached) {
    reply = channel::Reply{};
    reply.kind = request.kind;
    reply.code = system.LastError();
  }
  return reply;
}

bool EnsureImageServer(DriveSystem &system, ServerFailure *failure) {
  using Step = ServerFailure::Step;
  const std::string path = ServerBinaryPath(system);
  auto fail = [&](Step step, uint32_t code) {
    if (failure)
      *failure = {step, code, path};
    return false;
  };
  Hello hello = SayHello(system);
  if (hello == Hello::kThisBuild)
    return true;
  const DriveSystem::Handle managerHandle = system.OpenServiceManager();
  if (managerHandle == DriveSystem::kNoService)
    return fail(Step::kServiceManager, system.LastError());
  ServiceHandle manager(system, managerHandle);
  ServiceHandle service(system,
                        system.OpenDriverService(manager.handle, channel::kServerServiceName));
  // A server still starting (after a restart, say) is waited for, not written over.
  if (service.valid() && hello == Hello::kNoAnswer &&
      system.QueryServiceState(service.handle) != DriveSystem::ServiceState::kStopped)
    hello = WaitForAnswer(system);
  if (hello == Hello::kThisBuild)
    return true;
  // Another build: its drives are taken down (records kept) before it stops, so that its
  // handles let go of the driver and the new build makes them again when it starts.
  if (service.valid() && hello == Hello::kOtherBuild) {
    Send(system, channel::Kind::kRelease);
    StopServer(system, service.handle);
  }
  if (const uint32_t error = PlaceDriverFile(system, path, EmbeddedServerFile()))
    return fail(Step::kServerFile, error);
  if (!service.valid()) {
    service.handle = system.CreateServerService(manager.handle, channel::kServerServiceName,
                                                channel::kServiceDisplayName, path, kServiceName);
    // Created by another program between the open and the create: the same service.
    if (!service.valid() && system.LastError() == syserr::kServiceExists)
      service.handle = system.OpenDriverService(manager.handle, channel::kServerServiceName);
    if (!service.valid())
      return fail(Step::kService, system.LastError());
  }
  if (!system.StartDriverService(service.handle) &&
      system.LastError() != syserr::kServiceAlreadyRunning)
    return fail(Step::kStart, system.LastError());
  if (WaitForAnswer(system) != Hello::kThisBuild)
    return fail(Step::kNoAnswer, system.LastError());
  return true;
}

ServedMount MountServedImage(DriveSystem &system, const std::string &fullPath, char letter) {
  ServedMount mount;
  channel::Request request;
  request.kind = channel::Kind::kMount;
  request.path = system.AnsiToUtf16(fullPath);
  const bool anyLetter = letter == 0;
  for (int attempt = 0; attempt < kAddAttempts; ++attempt) {
    if (anyLetter) {
      letter = FindFreeDriveLetter(system);
      if (letter == 'A' && !IsDriveLetterFree(system, letter)) {
        mount.noFreeLetter = true;
        return mount;
      }
    }
    request.letter = char16_t(UpperLetter(letter));
    mount.reply = AskServer(system, request, &mount.reached);
    if (!mount.reached)
      return mount;
    if (mount.reply.status == channel::Status::kOk) {
      BroadcastVolumeChange(system, kDbtDeviceArrival, letter);
      return mount;
    }
    // Another program took the letter first: the next free one.
    if (!anyLetter || mount.reply.status != channel::Status::kLetterInUse)
      return mount;
  }
  return mount;
}

bool EjectServedDrive(DriveSystem &system, char letter) {
  letter = UpperLetter(letter);
  bool reached = false;
  channel::Request request;
  request.kind = channel::Kind::kEject;
  request.letter = char16_t(letter);
  const channel::Reply reply = AskServer(system, request, &reached);
  if (reached && reply.status == channel::Status::kOk) {
    BroadcastVolumeChange(system, kDbtDeviceRemoveComplete, letter);
    return true;
  }
  // No server to ask: a drive left without media goes as any other drive of ours, and the
  // records with it, so that a server started later does not make it again.
  DeleteDriveMapping(system, letter);
  return !HasDriveOfOurs(system, letter) || TakeDownDrive(system, letter);
}

std::vector<channel::ListedDrive> ServedDriveStates(DriveSystem &system, bool *reached) {
  channel::Request request;
  request.kind = channel::Kind::kList;
  return AskServer(system, request, reached).drives;
}

bool ReleaseServedDrives(DriveSystem &system, bool *wasRunning) {
  *wasRunning = false;
  const DriveSystem::Handle managerHandle = system.OpenServiceManager();
  if (managerHandle == DriveSystem::kNoService)
    return true;
  ServiceHandle manager(system, managerHandle);
  ServiceHandle service(system,
                        system.OpenDriverService(manager.handle, channel::kServerServiceName));
  if (!service.valid() ||
      system.QueryServiceState(service.handle) == DriveSystem::ServiceState::kStopped)
    return true;
  *wasRunning = true;
  Send(system, channel::Kind::kRelease);
  return StopServer(system, service.handle);
}

void RestoreServedDrives(DriveSystem &system, bool wasRunning) {
  if (!wasRunning)
    return;
  const DriveSystem::Handle managerHandle = system.OpenServiceManager();
  if (managerHandle == DriveSystem::kNoService)
    return;
  ServiceHandle manager(system, managerHandle);
  ServiceHandle service(system,
                        system.OpenDriverService(manager.handle, channel::kServerServiceName));
  // Its start makes the recorded drives; one that kept running is asked to.
  if (service.valid() && !system.StartDriverService(service.handle) &&
      system.LastError() == syserr::kServiceAlreadyRunning)
    Send(system, channel::Kind::kRestore);
}

uint32_t RemoveImageServer(DriveSystem &system) {
  uint32_t failed = 0;
  // A service manager that does not open is the uninstall's own step to tell.
  if (const DriveSystem::Handle managerHandle = system.OpenServiceManager();
      managerHandle != DriveSystem::kNoService) {
    ServiceHandle manager(system, managerHandle);
    ServiceHandle service(system,
                          system.OpenDriverService(manager.handle, channel::kServerServiceName));
    if (service.valid()) {
      // A server that does not stop keeps its file, which is told below.
      StopServer(system, service.handle);
      if (!system.DeleteDriverService(service.handle) &&
          system.LastError() != syserr::kServiceMarkedForDelete)
        failed = system.LastError();
    }
  }
  const std::string path = ServerBinaryPath(system);
  if (system.KindOfPath(path) != DriveSystem::PathKind::kMissing && !system.RemoveFile(path)) {
    if (!failed)
      failed = system.LastError();
    system.RemoveFileAtRestart(path);
  }
  return failed;
}

} // namespace velmor
