// The drive control client against the driver's own request logic on the kernel model: the
// client's requests reach VelmorDispatchDeviceControl as the I/O manager would hand them over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "../driver/driver_fixture.h"
#include "../isobuild/mock_platform.h"
#include "drive_client.h"
#include "fake_drive_system.h"
#include "folder_disc.h"
#include "image_check.h"
#include "mount_plan.h"
#include "recorded_drives.h"
#include "served_client.h"
#include "velmor_build_identity.h"
#include "velmor_server_identity.h"

namespace velmor {

// The driver files the client carries, for these tests: the sizes of real ones.
EmbeddedFile EmbeddedDriverFile() {
  static const std::vector<uint8_t> bytes = test::Pattern(6894, 7);
  return EmbeddedFile{bytes.data(), uint32_t(bytes.size())};
}
EmbeddedFile EmbeddedDriverFileX64() {
  static const std::vector<uint8_t> bytes = test::Pattern(9216, 8);
  return EmbeddedFile{bytes.data(), uint32_t(bytes.size())};
}
EmbeddedFile EmbeddedServerFile() {
  static const std::vector<uint8_t> bytes = test::Pattern(5000, 9);
  return EmbeddedFile{bytes.data(), uint32_t(bytes.size())};
}

namespace {

using test::DriveLink;
using test::ToU16;

constexpr char kDriverPath[] = "C:\\windows\\system32\\velmor.sys";

// Devices and services of the fake are the driver on the kernel model.
class DriverBackedSystem : public testing::FakeDriveSystem {
public:
  // `stop`, when given, is the model's stop of the driver, run when the service stops.
  DriverBackedSystem(test::KernelModel &model, std::function<NtStatus()> start,
                     std::function<void()> stop = {})
      : model_(model), start_(std::move(start)), stop_(std::move(stop)) {}

  // An open for reading of a drive is a volume open: Windows mounts the CD file system first,
  // which fails unless volumesMount.
  Handle OpenDevice(const std::string &path) override {
    log.push_back("open " + path);
    return path.back() == ':' && !volumesMount ? kInvalidHandle : ModelOpen(path);
  }
  Handle OpenDeviceWithoutAccess(const std::string &path) override {
    log.push_back("open without access " + path);
    return ModelOpen(path);
  }
  void Close(Handle handle) override {
    if (locks.count(handle))
      return FakeDriveSystem::Close(handle);
    ++closes;
    if (handle != kFileHandle)
      model_.Close(reinterpret_cast<kernel::Device *>(handle));
  }
  // A buffered request: the system buffer starts with the input, the driver's answer goes back
  // into the output.
  bool DeviceControl(Handle handle, uint32_t code, const void *input, uint32_t inputSize,
                     void *output, uint32_t outputSize, uint32_t *returned = nullptr) override {
    log.push_back("control " + std::to_string(code));
    if (returned)
      *returned = 0;
    // A remove the drive does not take yet (it is busy a moment).
    if (code == IOCTL_VELMOR_REMOVE_DEVICE && removesRefused > 0)
      return --removesRefused, lastError = 31, false;
    // Another build of the driver runs: the same requests, another build's identity.
    if (code == IOCTL_VELMOR_GET_BUILD && otherBuild)
      return false;
    // Requests to the volume go to the file system mounted on it, not to the driver.
    if (code >> 16 == fsctl::kFileDeviceFileSystem)
      return code != fsctl::kLockVolume || volumesLock;
    // Another insert asks for the same letter just before this one.
    if (code == IOCTL_VELMOR_ADD_DEVICE && addsOvertaken > 0) {
      const int left = std::exchange(addsOvertaken, 0) - 1;
      std::vector<uint8_t> record(static_cast<uint8_t *>(output),
                                  static_cast<uint8_t *>(output) + outputSize);
      DeviceControl(handle, code, input, inputSize, record.data(), outputSize);
      addsOvertaken = left;
    }
    sentInput.assign(static_cast<const uint8_t *>(input),
                     static_cast<const uint8_t *>(input) + (input ? inputSize : 0));
    sentOutput.assign(static_cast<uint8_t *>(output),
                      static_cast<uint8_t *>(output) + (output ? outputSize : 0));
    std::vector<uint8_t> system(std::max(inputSize, outputSize), 0xCD);
    std::copy(sentInput.begin(), sentInput.end(), system.begin());
    kernel::Request request;
    request.code = code;
    request.inputLength = inputSize;
    request.outputLength = outputSize;
    request.systemBuffer = system.empty() ? nullptr : system.data();
    VelmorDispatchDeviceControl(reinterpret_cast<kernel::Device *>(handle), &request);
    EXPECT_EQ(request.completions, 1);
    if (output)
      std::memcpy(output, system.data(), std::min(request.information, outputSize));
    const bool add = code == IOCTL_VELMOR_ADD_DEVICE || code == IOCTL_VELMOR_ADD_LAYOUT;
    if (returned && IsSuccess(request.status) && (answersIdentities || !add))
      *returned = std::min(request.information, outputSize);
    // What Wine answers for a remove request, after the device is already gone.
    return IsSuccess(request.status) && !(code == IOCTL_VELMOR_REMOVE_DEVICE && removeAnswersFail);
  }
  std::string DosDeviceTarget(char letter) override {
    if (kernel::Device *device = model_.Resolve(DriveLink(letter)))
      return test::ToNarrow(device->name);
    return FakeDriveSystem::DosDeviceTarget(letter);
  }
  bool StopDriverService(Handle service) override {
    const bool accepted = FakeDriveSystem::StopDriverService(service);
    if (accepted && stop_ && QueryServiceState(service) == ServiceState::kStopped)
      stop_();
    return accepted;
  }
  // What the program records, the driver's start-up reads: the model's registry too. A value
  // deleted is left empty there, which start-up takes as none.
  long SetDriveValue(const std::string &name, const std::string &path) override {
    const long error = FakeDriveSystem::SetDriveValue(name, path);
    if (!error)
      model_.SetValue(test::kParametersKey, ToU16(name), ToU16(path));
    return error;
  }
  void DeleteDriveValue(const std::string &name) override {
    FakeDriveSystem::DeleteDriveValue(name);
    model_.SetValue(test::kParametersKey, ToU16(name), u"");
  }
  long SetIdentityValue(const std::string &name, const void *data, uint32_t size) override {
    const long error = FakeDriveSystem::SetIdentityValue(name, data, size);
    if (!error)
      model_.SetBinaryValue(test::kIdentitiesNtKey, ToU16(name), identityValues[name]);
    return error;
  }
  void DeleteIdentityValue(const std::string &name) override {
    FakeDriveSystem::DeleteIdentityValue(name);
    model_.SetBinaryValue(test::kIdentitiesNtKey, ToU16(name), {});
  }

  std::vector<uint8_t> sentInput, sentOutput;
  bool removeAnswersFail = false;
  bool answersIdentities = true; // false: the adds answer as a driver from before identities
  bool otherBuild = false;       // the running driver does not say its build
  int removesRefused = 0;        // the next removes answered with failure, the drive kept
  bool volumesMount = true, volumesLock = true;
  int addsOvertaken = 0; // the next adds that another insert overtakes
  int driverStarts = 0;

protected:
  // The driver starts when its service runs the file that the client wrote, found by the
  // service manager's own (never redirected) name, and made for the system's processor.
  uint32_t StartError(const Service &service) override {
    if (startError)
      return startError;
    auto file = files.find(service.binaryPath);
    if (file == files.end())
      return syserr::kFileNotFound;
    const EmbeddedFile driver = DriverFileForSystem(*this);
    if (file->second != std::vector<uint8_t>(driver.data, driver.data + driver.size))
      return syserr::kBadExeFormat;
    ++driverStarts;
    return IsSuccess(start_()) ? 0 : 31;
  }

private:
  // "\\.\NAME" is the link "\DosDevices\NAME".
  Handle ModelOpen(const std::string &path) {
    kernel::Device *device = model_.Open(u"\\DosDevices\\" + ToU16(path.substr(4)));
    return device ? reinterpret_cast<Handle>(device) : kInvalidHandle;
  }

  test::KernelModel &model_;
  std::function<NtStatus()> start_;
  std::function<void()> stop_;
};

class DriveClientTest : public test::DriverTest {
protected:
  // The service's stop unloads the driver (at once: the client stops it only when nothing
  // holds a drive), and its start makes a new one, which makes the recorded drives.
  DriveClientTest()
      : sys(
            model_,
            [this] {
              if (driver_.unloaded)
                driver_ = kernel::Driver{};
              return Start();
            },
            [this] {
              EXPECT_TRUE(model_.StopDriver(&driver_)) << "stopped under a drive still held";
              started_ = !driver_.unloaded;
              sys.otherBuild = false;
            }) {}

  // The driver installed and running, as after a first insert.
  void Install() {
    const EmbeddedFile driver = EmbeddedDriverFile();
    sys.files[kDriverPath].assign(driver.data, driver.data + driver.size);
    sys.services["VELMOR"] = {kDriverPath, true};
    ASSERT_EQ(Start(), status::kSuccess);
  }
  bool Mounted(char letter) { return model_.Resolve(DriveLink(letter)) != nullptr; }
  std::vector<uint32_t> Events() const {
    std::vector<uint32_t> events;
    for (const auto &b : sys.broadcasts)
      events.push_back(b.event);
    return events;
  }

  DriverBackedSystem sys;
};

TEST_F(DriveClientTest, FirstInsertWritesTheDriverOnceCreatesTheServiceAndOpens) {
  DeviceHandle control = OpenControlDevice(sys);
  ASSERT_TRUE(control.valid());
  const EmbeddedFile driver = EmbeddedDriverFile();
  EXPECT_EQ(sys.files[kDriverPath], std::vector<uint8_t>(driver.data, driver.data + driver.size));
  std::vector<uint32_t> pieces(26, 256);
  pieces.push_back(238);
  EXPECT_EQ(sys.pieces, pieces);
  const std::vector<std::string> expected = {
      "open \\\\.\\VELMOR", "create " + std::string(kDriverPath),
      "service VELMOR " + std::string(kDriverPath), "open \\\\.\\VELMOR"};
  EXPECT_EQ(sys.log, expected);
  EXPECT_TRUE(sys.services["VELMOR"].running);
  EXPECT_EQ(sys.serviceCloses, 2); // the service and the manager
  control.reset();
  EXPECT_EQ(sys.closes, 2); // the driver file and the control device

  // A system directory that already ends in "\" gets no second one.
  sys.systemDirectory = "C:\\windows\\system32\\";
  EXPECT_EQ(GetSystemDirPath(sys), "C:\\windows\\system32\\");
}

enum class DriverFileThere { kNone, kTheSystems, kOtherProcessors, kDamaged };

struct InstallState {
  const char *what;
  DriverFileThere file;
  bool serviceThere, serviceRunning, managerRefused, wow64;
  int writesUntilFull;
  bool writesLost;
  uint32_t startError;
  bool opens;
  int fileWrites, servicesCreated, driverStarts;
  InstallFailure::Step failedStep;
  uint32_t failure;
  InstallProblem problem;
};

class DriveClientInstallTest : public DriveClientTest,
                               public ::testing::WithParamInterface<InstallState> {};

TEST_P(DriveClientInstallTest, SecondOpenDecides) {
  const InstallState &s = GetParam();
  sys.wow64 = s.wow64;
  const EmbeddedFile own = s.wow64 ? EmbeddedDriverFileX64() : EmbeddedDriverFile();
  const EmbeddedFile other = s.wow64 ? EmbeddedDriverFile() : EmbeddedDriverFileX64();
  const std::vector<uint8_t> ownBytes(own.data, own.data + own.size);
  switch (s.file) {
  case DriverFileThere::kNone:
    break;
  case DriverFileThere::kTheSystems:
    sys.files[kDriverPath] = ownBytes;
    break;
  case DriverFileThere::kOtherProcessors:
    sys.files[kDriverPath].assign(other.data, other.data + other.size);
    break;
  case DriverFileThere::kDamaged: // the first 3,000 bytes, left by a disk that filled
    sys.files[kDriverPath].assign(own.data, own.data + 3000);
    break;
  }
  if (s.serviceThere)
    sys.services["VELMOR"] = {kDriverPath, s.serviceRunning};
  sys.managerRefused = s.managerRefused;
  sys.writesUntilFull = s.writesUntilFull;
  sys.writesLost = s.writesLost;
  sys.startError = s.startError;

  InstallFailure failure;
  EXPECT_EQ(OpenControlDevice(sys, &failure).valid(), s.opens);
  EXPECT_EQ(failure.step, s.failedStep);
  EXPECT_EQ(failure.code, s.failure);
  EXPECT_EQ(ProblemOf(failure), s.problem);
  EXPECT_EQ(std::count_if(sys.log.begin(), sys.log.end(),
                          [](const std::string &l) { return l.rfind("create", 0) == 0; }),
            s.fileWrites);
  EXPECT_EQ(std::count_if(sys.log.begin(), sys.log.end(),
                          [](const std::string &l) { return l.rfind("service", 0) == 0; }),
            s.servicesCreated);
  EXPECT_EQ(sys.driverStarts, s.driverStarts);
  if (s.opens) {
    EXPECT_EQ(sys.files[kDriverPath], ownBytes);
  }
  // Nothing reaches the folder of 32-bit programs, and redirection is back on at the end.
  EXPECT_EQ(sys.files.count("C:\\windows\\syswow64\\velmor.sys"), 0u);
  EXPECT_TRUE(sys.redirected);
}

INSTANTIATE_TEST_SUITE_P(
    States, DriveClientInstallTest,
    ::testing::Values(
        InstallState{"the same file present, service missing", DriverFileThere::kTheSystems, false,
                     false, false, false, -1, false, 0, true, 0, 1, 1, InstallFailure::Step::kNone,
                     0, InstallProblem::kNeedsAdministrator},
        InstallState{"a damaged file present is replaced", DriverFileThere::kDamaged, false, false,
                     false, false, -1, false, 0, true, 1, 1, 1, InstallFailure::Step::kNone, 0,
                     InstallProblem::kNeedsAdministrator},
        // Running, yet its control device is gone: the refused start is ignored.
        InstallState{"service running, device gone", DriverFileThere::kTheSystems, true, true,
                     false, false, -1, false, 0, false, 0, 0, 0, InstallFailure::Step::kNone, 0,
                     InstallProblem::kNeedsAdministrator},
        InstallState{"not an administrator", DriverFileThere::kNone, false, false, true, false, -1,
                     false, 0, false, 1, 0, 0, InstallFailure::Step::kServiceManager,
                     syserr::kAccessDenied, InstallProblem::kNeedsAdministrator},
        InstallState{"the disk fills while writing", DriverFileThere::kNone, false, false, false,
                     false, 3, false, 0, false, 1, 0, 0, InstallFailure::Step::kDriverFile,
                     syserr::kDiskFull, InstallProblem::kDiskFull},
        InstallState{"writes that do not reach the disk", DriverFileThere::kNone, false, false,
                     false, false, -1, true, 0, false, 1, 0, 0, InstallFailure::Step::kDriverFile,
                     syserr::kWriteFault, InstallProblem::kDriverFileNotWritten},
        InstallState{"the signature is refused", DriverFileThere::kNone, false, false, false, false,
                     -1, false, syserr::kInvalidImageHash, false, 1, 1, 0,
                     InstallFailure::Step::kStart, syserr::kInvalidImageHash,
                     InstallProblem::kSignatureRefused},
        InstallState{"64-bit system", DriverFileThere::kNone, false, false, false, true, -1, false,
                     0, true, 1, 1, 1, InstallFailure::Step::kNone, 0,
                     InstallProblem::kNeedsAdministrator},
        InstallState{"64-bit system, the 32-bit driver in place", DriverFileThere::kOtherProcessors,
                     true, false, false, true, -1, false, 0, true, 1, 0, 1,
                     InstallFailure::Step::kNone, 0, InstallProblem::kNeedsAdministrator},
        InstallState{"a driver for another processor", DriverFileThere::kNone, false, false, false,
                     false, -1, false, syserr::kBadExeFormat, false, 1, 1, 0,
                     InstallFailure::Step::kStart, syserr::kBadExeFormat,
                     InstallProblem::kWrongProcessor}),
    [](const auto &info) {
      std::string name = info.param.what;
      std::replace_if(
          name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
      return name;
    });

// Two programs install at once: the driver file the other one is writing is waited for, and
// the service it created between this one's open and create is opened.
TEST_F(DriveClientTest, ConcurrentFirstInstallWaitsForTheFileAndOpensTheOtherService) {
  // A file that stays busy is reported after the wait, as what it is.
  InstallFailure failure;
  DriverBackedSystem busy(model_, [] { return status::kSuccess; });
  busy.writesBusy = 1000;
  EXPECT_FALSE(OpenControlDevice(busy, &failure).valid());
  EXPECT_EQ(failure.step, InstallFailure::Step::kDriverFile);
  EXPECT_EQ(failure.code, syserr::kSharingViolation);
  EXPECT_EQ(busy.paused, kFileBusyPauses * kPauseMs);

  const EmbeddedFile driver = EmbeddedDriverFile();
  sys.writesBusy = 1000;
  int pauses = 0;
  sys.onPause = [&] {
    if (++pauses == 3) { // the other program has finished writing
      sys.files[kDriverPath].assign(driver.data, driver.data + driver.size);
      sys.writesBusy = 0;
    }
  };
  sys.serviceAppearsOnCreate = true;
  failure = {};
  EXPECT_TRUE(OpenControlDevice(sys, &failure).valid());
  EXPECT_EQ(failure.step, InstallFailure::Step::kNone);
  EXPECT_EQ(pauses, 3);
  EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(), "create " + std::string(kDriverPath)), 0);
  EXPECT_EQ(sys.driverStarts, 1);
}

// The build the running driver answers decides: the carried one is used as it is; another, or
// none (a driver from before the request), has its file replaced and its service stopped and
// started again, or, where the driver cannot stop, is used with a restart asked for.
TEST(DriveInstallTest, RunningDriverOfAnotherBuildIsReplacedAndRestarted) {
  std::vector<uint8_t> carried = {uint8_t(kBuildProtocolVersion), 0, 0, 0};
  carried.insert(carried.end(), kDriverBuildIdentity, kDriverBuildIdentity + kBuildIdentitySize);
  std::vector<uint8_t> otherBuild = carried;
  otherBuild.back() ^= 1;
  std::vector<uint8_t> otherProtocol = carried;
  otherProtocol[0] += 1;
  const EmbeddedFile driver = EmbeddedDriverFile();
  const std::vector<uint8_t> carriedFile(driver.data, driver.data + driver.size);
  const std::vector<uint8_t> oldFile(100, 0x4D);
  enum class Stop { kUnloads, kStaysRunning, kRefused };
  const struct {
    const char *what;
    std::vector<uint8_t> answer;
    Stop stop;
    bool fileWritable;
    bool restartNeeded, restarted;
    std::vector<uint8_t> fileAfter;
    bool mapped = false; // the running driver's image holds its file
    // Its answer about removed drives still referenced; none: a driver that cannot say.
    std::vector<uint8_t> held = {0, 0, 0, 0};
  } cases[] = {
      {"the carried build", carried, Stop::kUnloads, true, false, false, oldFile},
      {"another build that can stop", otherBuild, Stop::kUnloads, true, false, true, carriedFile},
      {"another protocol", otherProtocol, Stop::kUnloads, true, false, true, carriedFile},
      {"no answer, can stop", {}, Stop::kUnloads, true, false, true, carriedFile},
      {"no answer, stop accepted but runs on (Wine)",
       {},
       Stop::kStaysRunning,
       true,
       true,
       false,
       carriedFile},
      {"another build, stop refused (Windows)", otherBuild, Stop::kRefused, true, true, false,
       carriedFile},
      {"another build, its file cannot be replaced", otherBuild, Stop::kUnloads, false, false,
       false, oldFile},
      {"another build whose image holds its file", otherBuild, Stop::kStaysRunning, true, true,
       false, carriedFile, true},
      // Stopped under a drive something still holds, it would never unload.
      {"another build holding a removed drive",
       otherBuild,
       Stop::kUnloads,
       true,
       true,
       false,
       carriedFile,
       false,
       {0x10, 0, 0, 0}},
      {"another build that cannot say what it holds",
       otherBuild,
       Stop::kUnloads,
       true,
       true,
       false,
       carriedFile,
       false,
       {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    testing::FakeDriveSystem sys;
    sys.openable[kControlDevicePath] = 1;
    sys.buildAnswer = c.answer;
    sys.heldAnswer = c.held;
    sys.files[kDriverPath] = oldFile; // what was written with the running driver
    sys.filesWritable = c.fileWritable;
    if (c.mapped)
      sys.mapped.insert(kDriverPath);
    auto &service = sys.services["VELMOR"];
    service = {kDriverPath, true};
    service.stoppable = c.stop == Stop::kUnloads;
    service.stopRefused = c.stop == Stop::kRefused;
    bool restartNeeded = false;
    InstallFailure failure;
    EXPECT_TRUE(OpenControlDevice(sys, &failure, &restartNeeded).valid());
    EXPECT_EQ(failure.step, InstallFailure::Step::kNone);
    EXPECT_EQ(restartNeeded, c.restartNeeded);
    EXPECT_EQ(sys.files[kDriverPath], c.fileAfter);
    EXPECT_TRUE(sys.services["VELMOR"].running);
    const bool stopAsked =
        std::count(sys.log.begin(), sys.log.end(), std::string("stop VELMOR")) == 1;
    const bool nothingHeld = c.held == std::vector<uint8_t>(4, 0);
    EXPECT_EQ(stopAsked, (c.restarted || c.restartNeeded) && nothingHeld);
    // Only a stop that was accepted and came to nothing is waited for, and not for long.
    EXPECT_EQ(sys.paused,
              c.stop == Stop::kStaysRunning && stopAsked ? kStillRunningPauses * kPauseMs : 0u);
    // A held file is moved aside, and deleted when the system next starts.
    const std::string aside = std::string(kDriverPath) + ".old";
    EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(),
                         "rename " + std::string(kDriverPath) + " " + aside),
              c.mapped || !c.fileWritable ? 1 : 0);
    EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(), "delete at restart " + aside),
              c.mapped ? 1 : 0);
    // The control device is closed before the stop, and opened again after it.
    if (stopAsked) {
      EXPECT_EQ(sys.log.back(), "open \\\\.\\VELMOR");
    }
  }
}

// Uninstall: every drive ejected, the service stopped and deleted, the driver file gone from
// both system folders, the key and Explorer's verb removed; the images stay. Each step that
// fails is reported and the later ones still run.
TEST_F(DriveClientTest, UninstallRunsEveryStepAndReportsEachFailure) {
  using Step = UninstallFailure::Step;
  constexpr char kWow64Path[] = "C:\\windows\\SysWOW64\\velmor.sys";
  const struct {
    const char *what;
    std::function<void(DriverBackedSystem &)> arrange;
    std::vector<Step> failed;
  } cases[] = {
      {"everything goes", [](DriverBackedSystem &) {}, {}},
      {"a drive that stays",
       [](DriverBackedSystem &s) {
         s.values.emplace_back("H", "D:\\a.iso");
         s.dosDevices['H'] = "\\Device\\VELMOR7"; // ours, but its device does not open
       },
       {Step::kEject}},
      {"not an administrator",
       [](DriverBackedSystem &s) { s.managerRefused = true; },
       {Step::kServiceManager}},
      {"the driver cannot stop (Windows)",
       [](DriverBackedSystem &s) { s.services["VELMOR"].stopRefused = true; },
       {Step::kStopService}},
      {"the driver stays running (Wine)",
       [](DriverBackedSystem &s) { s.services["VELMOR"].stoppable = false; },
       {Step::kStopService}},
      {"the service cannot be deleted",
       [](DriverBackedSystem &s) { s.serviceUndeletable = true; },
       {Step::kDeleteService}},
      {"the driver file cannot be deleted",
       [](DriverBackedSystem &s) { s.undeletable.insert(kDriverPath); },
       {Step::kDriverFile}},
      {"the key cannot be deleted",
       [](DriverBackedSystem &s) { s.serviceKeyError = 5; },
       {Step::kServiceKey}},
      {"the verbs cannot be removed",
       [](DriverBackedSystem &s) { s.verbsError = 5; },
       {Step::kShellVerbs}},
  };
  ASSERT_EQ(Start(), status::kSuccess);
  const std::vector<uint8_t> image = test::Pattern(8192);
  WriteImage("a.iso", image);
  const EmbeddedFile driver = EmbeddedDriverFileX64();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // A 64-bit system where an earlier build left a copy in the 32-bit programs' folder.
    DriverBackedSystem s(model_, [] { return status::kSuccess; });
    s.wow64 = true;
    s.files[kDriverPath].assign(driver.data, driver.data + driver.size);
    s.files["C:\\windows\\syswow64\\velmor.sys"] = s.files[kDriverPath];
    s.services["VELMOR"] = {kDriverPath, true};
    {
      DeviceHandle control(s, s.OpenDevice(kControlDevicePath));
      ASSERT_TRUE(AddVirtualDrive(s, control, "D:\\a.iso", 'E'));
      ASSERT_TRUE(AddVirtualDrive(s, control, "D:\\a.iso", 'F'));
    }
    c.arrange(s);
    const bool stopRefused = s.services["VELMOR"].stopRefused;
    s.log.clear();
    std::vector<Step> failed;
    for (const UninstallFailure &f : Uninstall(s)) {
      failed.push_back(f.step);
      if (f.step == Step::kStopService) { // the refusal's own code; none for a stop that lingers
        EXPECT_EQ(f.code, stopRefused ? 1052u : 0u);
      }
    }
    EXPECT_EQ(failed, c.failed);
    EXPECT_FALSE(Mounted('E'));
    EXPECT_FALSE(Mounted('F'));
    EXPECT_TRUE(s.values.empty() || c.failed == std::vector<Step>{Step::kServiceKey});
    // The steps after the drives, each tried whatever failed before it.
    std::vector<std::string> later;
    for (const std::string &line : s.log)
      if (line.rfind("stop", 0) == 0 || line.rfind("delete service", 0) == 0 ||
          line.rfind("delete file", 0) == 0 || line.rfind("delete key", 0) == 0 ||
          line.rfind("remove", 0) == 0)
        later.push_back(line);
    std::vector<std::string> expected = {"stop VELMOR", "delete service VELMOR"};
    if (c.failed == std::vector<Step>{Step::kServiceManager})
      expected.clear();
    for (const char *line :
         {"delete file C:\\windows\\system32\\velmor.sys",
          "delete file C:\\windows\\system32\\velmor.sys.old",
          "delete file C:\\windows\\syswow64\\velmor.sys", "delete key VELMOR", "remove verbs"})
      expected.push_back(line);
    EXPECT_EQ(later, expected);
    EXPECT_EQ(s.files.count(kDriverPath), c.failed == std::vector<Step>{Step::kDriverFile});
    EXPECT_EQ(s.files.count("C:\\windows\\syswow64\\velmor.sys"), 0u);
    EXPECT_TRUE(s.redirected);
    std::ifstream kept(HostPath("a.iso"), std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(kept), {}), image);
  }
  // The failed step names what is left: the drive's letter, the file's path.
  DriverBackedSystem s(model_, [] { return status::kSuccess; });
  s.wow64 = true;
  s.values.emplace_back("H", "D:\\a.iso");
  s.dosDevices['H'] = "\\Device\\VELMOR7";
  s.files["C:\\windows\\syswow64\\velmor.sys"] = {1};
  s.undeletable.insert("C:\\windows\\syswow64\\velmor.sys");
  const std::vector<UninstallFailure> failed = Uninstall(s);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].letter, 'H');
  EXPECT_EQ(failed[1].path, kWow64Path);
  EXPECT_EQ(failed[1].code, syserr::kAccessDenied);

  // The folder discs' cache folder goes when nothing is left in it, with the program's folder
  // above it; an image that cannot be deleted keeps both.
  for (const bool stuck : {false, true}) {
    DriverBackedSystem e(model_, [] { return status::kSuccess; });
    const std::string cache = e.cacheFolder.substr(0, e.cacheFolder.size() - 1);
    const std::string program = cache.substr(0, cache.rfind('\\'));
    e.folders = {cache, program};
    e.files[e.cacheFolder + "disc-5.lock"] = {}; // left by a run that ended
    if (stuck) {
      e.files[e.cacheFolder + "disc-4.iso"] = {1};
      e.undeletable.insert(e.cacheFolder + "disc-4.iso");
    }
    Uninstall(e);
    EXPECT_EQ(e.folders.size(), stuck ? 2u : 0u);
    EXPECT_EQ(e.files.count(e.cacheFolder + "disc-5.lock"), 0u);
  }
}

// An upgrade takes every drive down before it stops the service. With nothing holding a removed
// drive, the new driver's start makes the recorded drives with identities, and the one recorded
// without (by a driver from before them) is added again. With a program's handle still open on
// a removed drive, the stop would leave the driver unable to unload: the driver says which,
// and the old driver stays, serving every drive again, until the machine restarts. A lock of
// the volume proves nothing either way: here it succeeds though the handle is held.
TEST_F(DriveClientTest, UpgradeStopsOnlyWhenNoRemovedDriveIsHeld) {
  Install();
  for (const bool handleHeld : {true, false}) {
    SCOPED_TRACE(handleHeld ? "a handle held" : "nothing held");
    const int starts = sys.driverStarts;
    const std::vector<uint8_t> image = test::Pattern(64 * 2048, 9);
    WriteImage("a.iso", image);
    sys.files["D:\\a.iso"] = image; // as the program finds it to add it again
    {
      DeviceHandle control = OpenControlDevice(sys);
      ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'E'));
      sys.answersIdentities = false;
      ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'F'));
      sys.answersIdentities = true;
    }
    ASSERT_EQ(sys.identityValues.count("F"), 0u);
    kernel::Device *held = handleHeld ? model_.Open(DriveLink('E')) : nullptr;
    sys.otherBuild = true;
    sys.log.clear();
    bool restartNeeded = false;
    DeviceHandle control = OpenControlDevice(sys, nullptr, &restartNeeded);
    ASSERT_TRUE(control.valid());
    EXPECT_EQ(restartNeeded, handleHeld);
    EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(),
                         "control " + std::to_string(IOCTL_VELMOR_GET_HELD)),
              1);
    EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(), "stop VELMOR"), handleHeld ? 0 : 1);
    EXPECT_EQ(sys.driverStarts - starts, handleHeld ? 0 : 1);
    for (const char letter : {'E', 'F'}) {
      const test::Answer read = Read(DriveLink(letter), 0x8000, 2048);
      ASSERT_EQ(read.status, status::kSuccess) << letter;
      EXPECT_TRUE(std::equal(read.output.begin(), read.output.end(), image.begin() + 0x8000));
    }
    // Added again through the checked add, F now has its identity.
    EXPECT_EQ(sys.identityValues.count("F"), 1u);
    EXPECT_EQ(sys.values.size(), 2u);
    if (held)
      model_.Close(held);
    sys.otherBuild = false;
    control.reset();
    ASSERT_TRUE(EjectVirtualDrive(sys, 'E'));
    ASSERT_TRUE(EjectVirtualDrive(sys, 'F'));
  }
}

// Uninstall under a program that still has a drive open: the drive is ejected, then named, and
// the service is not stopped under it (it is deleted, and goes at the next restart).
TEST_F(DriveClientTest, UninstallNamesADriveStillHeldInsteadOfStoppingUnderIt) {
  Install();
  WriteImage("a.iso", test::Pattern(8192));
  {
    DeviceHandle control = OpenControlDevice(sys);
    ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'E'));
    ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'F'));
  }
  kernel::Device *held = model_.Open(DriveLink('F'));
  sys.log.clear();
  const std::vector<UninstallFailure> failed = Uninstall(sys);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].step, UninstallFailure::Step::kDriveInUse);
  EXPECT_EQ(failed[0].letter, 'F');
  EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(), "stop VELMOR"), 0);
  EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(), "delete service VELMOR"), 1);
  EXPECT_FALSE(Mounted('E') || Mounted('F'));
  EXPECT_TRUE(sys.values.empty());
  model_.Close(held);
}

// Records that start-up did not make: the one recorded without an identity is added again
// (which records it), the one whose file changed behind its path is not, and both are listed
// with their reasons until the user mounts or ejects them; no free letter is taken from them.
TEST_F(DriveClientTest, UnidentifiedRecordsAreAddedAgainAndChangedFilesListedNotMounted) {
  const std::vector<uint8_t> image = test::Pattern(64 * 2048, 4);
  WriteImage("e.iso", image);
  WriteImage("f.iso", image);
  WriteImage("g.iso", image);
  for (const char *path : {"D:\\e.iso", "D:\\f.iso", "D:\\g.iso"})
    sys.files[path] = image;           // as the program finds them to add them again
  sys.SetDriveValue("E", "D:\\e.iso"); // no identity: recorded by an older build
  sys.SetDriveValue("F", "D:\\f.iso");
  const FileIdentity old = test::KernelModel::IdentityOfHostFile(HostPath("f.iso"));
  sys.SetIdentityValue("F", &old, sizeof old);
  std::rename(HostPath("f.iso").c_str(), HostPath("f.old").c_str());
  WriteImage("f.iso", image); // another file behind the same path
  sys.SetDriveValue("G", "D:\\g.iso");
  const FileIdentity g = test::KernelModel::IdentityOfHostFile(HostPath("g.iso"));
  sys.SetIdentityValue("G", &g, sizeof g);

  // The driver not running: nothing is installed or started to add a drive again.
  EXPECT_TRUE(AddUnidentifiedDrives(sys).empty());
  EXPECT_TRUE(sys.services.empty());
  for (const RecordedDrive &d : RecordedDrives(sys))
    EXPECT_FALSE(d.mounted || d.driverRunning) << d.letter;

  Install(); // the start makes G only
  EXPECT_EQ(RecordedDrives(sys).size(), 3u);
  for (const RecordedDrive &d : RecordedDrives(sys)) {
    EXPECT_EQ(d.mounted, d.letter == 'G') << d.letter;
    EXPECT_EQ(d.reason, d.letter == 'E'   ? SkipReason::kNoIdentity
                        : d.letter == 'F' ? SkipReason::kIdentityChanged
                                          : SkipReason::kNone)
        << d.letter;
  }
  for (char letter = 'C'; letter <= 'D'; ++letter)
    sys.driveTypes[letter] = 3;
  EXPECT_EQ(FindFreeDriveLetter(sys), 'H') << "E and F are kept for their records";

  EXPECT_EQ(AddUnidentifiedDrives(sys), std::vector<char>{'E'});
  EXPECT_TRUE(Mounted('E'));
  EXPECT_FALSE(Mounted('F'));
  EXPECT_EQ(sys.identityValues.count("E"), 1u);
  EXPECT_TRUE(AddUnidentifiedDrives(sys).empty()) << "once";

  // Mounting F's path at F again settles it with the new file's identity.
  DeviceHandle control = OpenControlDevice(sys);
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\f.iso", 'F'));
  const FileIdentity now = test::KernelModel::IdentityOfHostFile(HostPath("f.iso"));
  EXPECT_EQ(std::memcmp(sys.identityValues["F"].data(), &now, sizeof now), 0);
  for (const RecordedDrive &d : RecordedDrives(sys))
    EXPECT_TRUE(d.mounted) << d.letter;
}

// A folder disc's label is the folder's last name, cut at a whole character to fit 32 bytes and
// 16 UCS-2 units; a GBK trail byte that is a backslash does not end a name.
TEST(FolderDiscTest, LabelIsTheFolderNameCutToFit) {
  testing::MockPlatform gbk;
  gbk.DoubleByteCodePage = true;
  testing::MockPlatform utf8;
  const std::string wen = "\xCE\xC4"; // a double-byte character
  const struct {
    testing::MockPlatform &platform;
    std::string folder, label;
  } cases[] = {
      {gbk, "C:\\work\\" + wen + wen, wen + wen},
      {gbk, "C:\\work\\dir\\", "dir"},
      {gbk, "C:\\work\\a\x81\x5C" + std::string("b"),
       "a\x81\x5C"
       "b"},
      {gbk, "C:\\" + std::string(40, 'x'), std::string(16, 'x')},
      {gbk,
       "C:\\" +
           [&] {
             std::string s;
             for (int i = 0; i < 17; ++i)
               s += wen;
             return s;
           }(),
       [&] {
         std::string s;
         for (int i = 0; i < 16; ++i)
           s += wen;
         return s;
       }()},
      {gbk, "C:\\", "CDROM"},
      {gbk, "D:", "CDROM"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(FolderDiscLabel(c.platform, c.folder), c.label) << c.folder;
  // Four-byte characters take two units each: eight fill both labels.
  std::string emoji, eight;
  for (int i = 0; i < 9; ++i)
    emoji += "\xF0\x9F\x98\x80";
  for (int i = 0; i < 8; ++i)
    eight += "\xF0\x9F\x98\x80";
  EXPECT_EQ(FolderDiscLabel(utf8, "/d/" + emoji), eight);
}

// The folder's contents go to the root of an image in the cache folder, labelled by the folder;
// what the builder leaves out is returned.
TEST(FolderDiscTest, ImageOfTheContentsInTheCacheFolder) {
  testing::MockPlatform platform;
  platform.AddFolder("D:\\disc");
  platform.AddFile("D:\\disc\\a.txt", 3000);
  platform.AddFolder("D:\\disc\\sub");
  platform.AddFile("D:\\disc\\sub\\b.bin", 5000);
  platform.AddFile("D:\\disc\\" + std::string(130, 'n'), 10);
  platform.AddFile("D:\\disc\\" + std::string(110, 'u') + ".txt", 10); // only UDF keeps it whole
  testing::FakeDriveSystem system;
  const FolderDisc disc = BuildFolderDisc(platform, system, "D:\\disc", system.cacheFolder);
  ASSERT_EQ(disc.failure, FolderDisc::Failure::kNone);
  EXPECT_EQ(disc.image.rfind(system.cacheFolder + "disc-", 0), 0u);
  EXPECT_TRUE(IsFolderDiscImage(system, disc.image));
  ASSERT_EQ(disc.leftOut.size(), 1u);
  EXPECT_EQ(disc.leftOut[0].Path, "D:\\disc\\" + std::string(130, 'n'));
  EXPECT_EQ(disc.leftOut[0].Reason, LeftOutReason::kNameTooLong);
  ASSERT_GT(platform.Image.size(), 0x8000u + 72);
  EXPECT_EQ(std::string(platform.Image.begin() + 0x8001, platform.Image.begin() + 0x8006), "CD001");
  EXPECT_EQ(std::string(platform.Image.begin() + 0x8028, platform.Image.begin() + 0x802C), "DISC");
  // Files at the root, not under the folder's own name: the root directory holds A.TXT.
  const std::string image(platform.Image.begin(), platform.Image.end());
  EXPECT_NE(image.find("A.TXT;1"), std::string::npos);
  EXPECT_NE(image.find("SUB"), std::string::npos);
  EXPECT_NE(image.find("NSR02"), std::string::npos) << "a UDF bridge for the long name";
  // Two folders in the path table (the root and SUB, 10 and 12 bytes): none for the folder.
  const auto *pvd = platform.Image.data() + 0x8000;
  EXPECT_EQ(pvd[132] | pvd[133] << 8, 22);

  // The cache keeps only what a drive records; an eject deletes its folder disc's image.
  system.files[disc.image] = {1};
  system.files[system.cacheFolder + "disc-1.iso"] = {1};
  system.values = {{"G", disc.image}};
  CleanFolderDiscCache(system);
  EXPECT_EQ(system.files.count(disc.image), 1u);
  EXPECT_EQ(system.files.count(system.cacheFolder + "disc-1.iso"), 0u);
  system.dosDevices['G'] = "\\Device\\VELMOR6";
  system.openable["\\\\.\\G:"] = 1;
  EjectVirtualDrive(system, 'G');
  EXPECT_EQ(system.files.count(disc.image), 0u);
  EXPECT_FALSE(IsFolderDiscImage(system, "C:\\images\\disc-1.iso"));
}

// Runs started together: a build holds its image's lock from before the image exists until its
// drive is recorded, and another run's clean-up leaves what it holds alone, reading the records
// again once it has the lock; what a run that ended left (image, note, lock file) goes. A folder
// disc shows as its folder. Gathering never takes the cache folder, where other runs build.
TEST(FolderDiscTest, CleanUpBesideRacingBuilds) {
  testing::MockPlatform platform;
  platform.AddFolder("D:\\a");
  platform.AddFile("D:\\a\\x.txt", 100);
  testing::FakeDriveSystem system;
  const std::string cache = system.cacheFolder;
  FolderDisc a = BuildFolderDisc(platform, system, "D:\\a", cache);
  ASSERT_EQ(a.failure, FolderDisc::Failure::kNone);
  ASSERT_TRUE(a.lock.held());
  system.files[a.image] = {1}; // the builder wrote it through its own platform
  const std::string stem = a.image.substr(0, a.image.size() - 4);
  EXPECT_EQ(system.files.count(stem + ".lock"), 1u);
  EXPECT_EQ(ShownImagePath(system, a.image), "D:\\a");
  EXPECT_EQ(ShownImagePath(system, "D:\\a.iso"), "D:\\a.iso");
  // A run that ended before its drive was recorded, and a lock file with nothing beside it.
  for (const char *name : {"disc-1.iso", "disc-1.folder", "disc-1.lock", "disc-2.lock"})
    system.files[cache + name] = {1};

  // Another run's clean-up while this one builds.
  CleanFolderDiscCache(system);
  for (const char *ending : {".iso", ".folder", ".lock"})
    EXPECT_EQ(system.files.count(stem + ending), 1u) << ending;
  for (const char *name : {"disc-1.iso", "disc-1.folder", "disc-1.lock", "disc-2.lock"})
    EXPECT_EQ(system.files.count(cache + name), 0u) << name;

  // A second build meanwhile gets a name of its own.
  FolderDisc b = BuildFolderDisc(platform, system, "D:\\a", cache);
  ASSERT_EQ(b.failure, FolderDisc::Failure::kNone);
  EXPECT_NE(b.image, a.image);
  system.files[b.image] = {1};

  // The first run records its drive and lets go between the clean-up's listing and its lock:
  // the records are read again.
  system.onLock = [&](const std::string &path) {
    if (path == stem + ".lock" && a.lock.held()) {
      system.values = {{"G", a.image}};
      a.lock.Release();
    }
  };
  CleanFolderDiscCache(system);
  system.onLock = nullptr;
  EXPECT_EQ(system.files.count(a.image), 1u);
  EXPECT_EQ(system.files.count(stem + ".folder"), 1u);
  EXPECT_EQ(system.files.count(stem + ".lock"), 0u);
  EXPECT_EQ(system.files.count(b.image), 1u) << "still held";

  // The second run's insert failed and it ended: its files go at the next clean-up.
  b.lock = {};
  CleanFolderDiscCache(system);
  EXPECT_EQ(system.files.count(b.image), 0u);
  EXPECT_EQ(system.files.count(a.image), 1u);
  // The eject takes the image and its note.
  system.dosDevices['G'] = "\\Device\\VELMOR6";
  EjectVirtualDrive(system, 'G');
  EXPECT_EQ(system.files.count(a.image), 0u);
  EXPECT_EQ(system.files.count(stem + ".folder"), 0u);
  EXPECT_TRUE(system.files.empty()) << system.files.begin()->first;

  // The folder that holds the cache folder: nothing of the cache is gathered.
  testing::MockPlatform local;
  local.AddFolder("C:\\users\\u\\AppData\\Local");
  local.AddFile("C:\\users\\u\\AppData\\Local\\kept.txt", 10);
  local.AddFolder("C:\\users\\u\\AppData\\Local\\Velmor");
  local.AddFolder("C:\\users\\u\\AppData\\Local\\Velmor\\FolderDiscs");
  local.AddFile(cache + "disc-3.iso", 10);
  FolderDisc whole = BuildFolderDisc(local, system, "C:\\users\\u\\AppData\\Local", cache);
  ASSERT_EQ(whole.failure, FolderDisc::Failure::kNone);
  const std::string image(local.Image.begin(), local.Image.end());
  EXPECT_NE(image.find("KEPT.TXT"), std::string::npos);
  EXPECT_NE(image.find("VELMOR"), std::string::npos);
  EXPECT_EQ(image.find("FOLDERDISCS"), std::string::npos);
  EXPECT_EQ(image.find("DISC-3"), std::string::npos);
  // The cache folder given itself: an empty disc.
  local.Image.clear();
  FolderDisc cacheDisc = BuildFolderDisc(local, system, cache.substr(0, cache.size() - 1), cache);
  ASSERT_EQ(cacheDisc.failure, FolderDisc::Failure::kNone);
  EXPECT_EQ(std::string(local.Image.begin(), local.Image.end()).find("DISC-3"), std::string::npos);
}

TEST_F(DriveClientTest, FreeLetterNamesNoDriveAndNoDevice) {
  for (char letter : {'C', 'D', 'E', 'F'})
    sys.driveTypes[letter] = letter == 'E' ? kDriveCdrom : 3;
  EXPECT_EQ(FindFreeDriveLetter(sys), 'G');

  // A drive of the driver holds G, though the drive type does not show it (as under Wine).
  Install();
  WriteImage("a.iso", test::Pattern(8192));
  DeviceHandle control = OpenControlDevice(sys);
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'G'));
  EXPECT_EQ(sys.DriveType('G'), kDriveNoRootDir);
  EXPECT_EQ(FindFreeDriveLetter(sys), 'H');

  for (char letter = 'C'; letter <= 'Z'; ++letter)
    sys.driveTypes[letter] = 3;
  EXPECT_EQ(FindFreeDriveLetter(sys), 'A');
}

TEST_F(DriveClientTest, AddRecordsThenAnnouncesOnceAndTheDriveReadsTheImage) {
  Install();
  const std::vector<uint8_t> image = test::Pattern(64 * 1024, 3);
  WriteImage("disc.iso", image);
  DeviceHandle control = OpenControlDevice(sys);
  sys.log.clear();
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\disc.iso", 'g'));

  // A record an earlier layout drive at the letter left goes, or the next start would use it;
  // the image's identity as the add answered it goes in before the path.
  std::vector<std::string> expected = {"control " + std::to_string(IOCTL_VELMOR_ADD_DEVICE),
                                       "delete layout G", "set identity G", "set G D:\\disc.iso",
                                       "broadcast 32768"};
  EXPECT_EQ(sys.log, expected);
  const FileIdentity identity = test::KernelModel::IdentityOfHostFile(HostPath("disc.iso"));
  const auto *identityBytes = reinterpret_cast<const uint8_t *>(&identity);
  EXPECT_EQ(sys.identityValues["G"],
            std::vector<uint8_t>(identityBytes, identityBytes + sizeof identity));
  ASSERT_EQ(sys.broadcasts.size(), 1u);
  EXPECT_EQ(sys.broadcasts[0].notice.unitMask, 1u << 6);
  EXPECT_EQ(sys.broadcasts[0].notice.flags, 2u);
  const test::Answer read = Read(DriveLink('G'), 0x8000, 2048);
  ASSERT_EQ(read.status, status::kSuccess);
  EXPECT_TRUE(std::equal(read.output.begin(), read.output.end(), image.begin() + 0x8000));

  // The same letter again: refused, nothing recorded or announced.
  sys.log.clear();
  EXPECT_FALSE(AddVirtualDrive(sys, control, "D:\\other.iso", 'G'));
  EXPECT_EQ(sys.log.size(), 1u);
  EXPECT_EQ(sys.values.size(), 1u);

  // A driver from before identities answers none: an identity an earlier drive at the letter
  // left goes, or the next start would compare the new file with the old one's.
  sys.answersIdentities = false;
  ASSERT_TRUE(EjectVirtualDrive(sys, 'G'));
  sys.identityValues["G"] = {1, 2, 3};
  sys.log.clear();
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\disc.iso", 'G'));
  expected[2] = "delete identity G";
  EXPECT_EQ(sys.log, expected);
  EXPECT_EQ(sys.identityValues.count("G"), 0u);
  sys.answersIdentities = true;

  // A registry that refuses the value is an error for the caller to report, and the drive is
  // not kept: nobody could show or eject it; nor is its identity.
  for (long *error : {&sys.identityRegistryError, &sys.registryError}) {
    *error = 5;
    try {
      AddVirtualDrive(sys, control, "D:\\disc.iso", 'h');
      ADD_FAILURE() << "no error";
    } catch (const DriveRecordError &e) {
      EXPECT_EQ(e.letter(), 'H');
      EXPECT_EQ(e.code(), 5);
    }
    *error = 0;
    EXPECT_FALSE(Mounted('H'));
    EXPECT_EQ(sys.identityValues.count("H"), 0u);
    EXPECT_EQ(sys.values.size(), 1u);
  }
  EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(), "broadcast 32768"), 1);
}

// A layout drive's record goes into the registry before its path, so that a start never finds
// the path without the record; whichever value the registry refuses, neither is left behind.
TEST_F(DriveClientTest, LayoutDriveRecordsItsLayoutBeforeItsPathAndEjectForgetsBoth) {
  Install();
  const std::vector<uint8_t> bin = test::Pattern(20 * 2352, 5);
  formats::DiscLayout layout;
  layout.files = {WriteImage("disc.bin", bin)};
  formats::Track data;
  data.stride = kStrideRaw;
  data.userOffset = 16;
  data.sectors = 20;
  layout.tracks = {data};
  DeviceHandle control = OpenControlDevice(sys);
  sys.log.clear();
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\disc.cue", 'g', &layout));
  const std::vector<std::string> expected = {"control " + std::to_string(IOCTL_VELMOR_ADD_LAYOUT),
                                             "set layout G", "set identity G", "set G D:\\disc.cue",
                                             "broadcast 32768"};
  EXPECT_EQ(sys.log, expected);
  const FileIdentity identity = test::KernelModel::IdentityOfHostFile(HostPath("disc.bin"));
  const auto *identityBytes = reinterpret_cast<const uint8_t *>(&identity);
  EXPECT_EQ(sys.identityValues["G"],
            std::vector<uint8_t>(identityBytes, identityBytes + sizeof identity));
  ASSERT_EQ(sys.layoutValues["G"].size(), kLayoutRecordSize);
  LayoutRecord stored;
  std::memcpy(&stored, sys.layoutValues["G"].data(), sizeof stored);
  EXPECT_EQ(CheckLayoutRecord(stored), LayoutFault::kValid);
  EXPECT_EQ(stored.letter, u'G');
  const test::Answer read = Read(DriveLink('G'), 3 * 2048, 2048);
  ASSERT_EQ(read.status, status::kSuccess);
  EXPECT_TRUE(std::equal(read.output.begin(), read.output.end(), bin.begin() + 3 * 2352 + 16));

  for (long *error : {&sys.layoutRegistryError, &sys.identityRegistryError, &sys.registryError}) {
    *error = 5;
    EXPECT_THROW(AddVirtualDrive(sys, control, "D:\\disc.cue", 'H', &layout), DriveRecordError);
    *error = 0;
    EXPECT_FALSE(Mounted('H'));
    EXPECT_EQ(sys.layoutValues.count("H") + sys.identityValues.count("H"), 0u);
    EXPECT_EQ(sys.values.size(), 1u);
  }

  EXPECT_TRUE(EjectVirtualDrive(sys, 'G'));
  EXPECT_TRUE(sys.layoutValues.empty() && sys.values.empty() && sys.identityValues.empty());
}

TEST_F(DriveClientTest, LongPathIsCutTo499UnitsInputAndOutputAlike) {
  Install();
  DeviceHandle control = OpenControlDevice(sys);
  const std::string path = "D:\\" + std::string(597, 'x');
  AddVirtualDrive(sys, control, path, 'K');
  ASSERT_EQ(sys.sentOutput.size(), 1002u);
  ASSERT_EQ(sys.sentInput.size(), 1000u);
  AddRecord record;
  std::memcpy(&record, sys.sentOutput.data(), sizeof record);
  EXPECT_EQ(record.letter, u'K');
  EXPECT_EQ(std::u16string(record.path, 499), ToU16(path.substr(0, 499)));
  EXPECT_EQ(record.endStop, 0);
  EXPECT_TRUE(std::equal(sys.sentInput.begin(), sys.sentInput.end(), sys.sentOutput.begin()));
}

TEST_F(DriveClientTest, EjectForgetsFirstThenRemovesAndAnnouncesTwice) {
  Install();
  WriteImage("a.iso", test::Pattern(8192));
  DeviceHandle control = OpenControlDevice(sys);
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'E'));
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'F'));
  sys.broadcasts.clear();
  sys.log.clear();

  // The volume is taken down first, then the device is opened without mounting anything.
  EXPECT_TRUE(EjectVirtualDrive(sys, 'E'));
  const std::string remove = "control " + std::to_string(IOCTL_VELMOR_REMOVE_DEVICE);
  const std::string lock = "control " + std::to_string(fsctl::kLockVolume);
  const std::string dismount = "control " + std::to_string(fsctl::kDismountVolume);
  const std::string unlock = "control " + std::to_string(fsctl::kUnlockVolume);
  std::vector<std::string> expected = {"delete E",
                                       "delete layout E",
                                       "delete identity E",
                                       "open \\\\.\\E:",
                                       lock,
                                       dismount,
                                       unlock,
                                       "open without access \\\\.\\E:",
                                       remove,
                                       "broadcast 32772",
                                       "broadcast 32772"};
  EXPECT_EQ(sys.log, expected);
  EXPECT_EQ(sys.broadcasts[1].notice.unitMask, 0x10u);
  EXPECT_FALSE(Mounted('E'));
  EXPECT_TRUE(Mounted('F'));

  // Already removed by other means: the value goes, no request, no notice.
  sys.values.emplace_back("E", "D:\\a.iso");
  sys.broadcasts.clear();
  EXPECT_FALSE(EjectVirtualDrive(sys, 'E'));
  EXPECT_TRUE(sys.values.size() == 1 && sys.values[0].first == "F");
  EXPECT_TRUE(sys.broadcasts.empty());

  // A remove answered with failure (as Wine answers it) went all the same: the device no longer
  // answers through the handle the remove went by.
  sys.removeAnswersFail = true;
  EXPECT_TRUE(EjectVirtualDrive(sys, 'F'));
  EXPECT_TRUE(sys.values.empty());
  EXPECT_EQ(sys.broadcasts.size(), 2u);
  EXPECT_FALSE(Mounted('F'));
  sys.removeAnswersFail = false;
  sys.broadcasts.clear();

  // A drive that still answers after a refused remove is asked again a little later; one that
  // keeps refusing stays, and its eject says so.
  for (const int refused : {2, kRemoveAttempts}) {
    ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'F'));
    sys.removesRefused = refused;
    sys.paused = 0;
    EXPECT_EQ(EjectVirtualDrive(sys, 'F'), refused < kRemoveAttempts);
    EXPECT_EQ(sys.paused, uint32_t(std::min(refused, kRemoveAttempts - 1)) * kRemovePauseMs);
    EXPECT_EQ(Mounted('F'), refused == kRemoveAttempts);
    sys.removesRefused = 0;
  }
  ASSERT_TRUE(RemoveVirtualDrive(sys, 'F'));
  sys.broadcasts.clear();

  // A volume that cannot be mounted (its image is gone) does not keep the drive: it is
  // removed through the open that mounts nothing.
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'G'));
  sys.volumesMount = false;
  sys.log.clear();
  EXPECT_TRUE(EjectVirtualDrive(sys, 'G'));
  expected = {"delete G",
              "delete layout G",
              "delete identity G",
              "open \\\\.\\G:",
              "open without access \\\\.\\G:",
              remove,
              "broadcast 32772",
              "broadcast 32772"};
  EXPECT_EQ(sys.log, expected);
  EXPECT_FALSE(Mounted('G'));

  // A volume in use refuses the lock: it is neither dismounted nor unlocked.
  sys.volumesMount = true;
  sys.volumesLock = false;
  ASSERT_TRUE(AddVirtualDrive(sys, control, "D:\\a.iso", 'G'));
  sys.log.clear();
  EXPECT_TRUE(EjectVirtualDrive(sys, 'G'));
  EXPECT_EQ(std::vector<std::string>(sys.log.begin() + 3, sys.log.begin() + 6),
            (std::vector<std::string>{"open \\\\.\\G:", lock, "open without access \\\\.\\G:"}));
  EXPECT_FALSE(Mounted('G'));

  // A record left on a letter that now names another device (a disk of its own): the record
  // goes and nothing at all is sent to that volume.
  sys.values.emplace_back("H", "D:\\a.iso");
  sys.dosDevices['H'] = "\\Device\\Harddisk1\\DR1";
  sys.openable["\\\\.\\H:"] = 1;
  sys.log.clear();
  sys.broadcasts.clear();
  EXPECT_FALSE(EjectVirtualDrive(sys, 'H'));
  EXPECT_EQ(sys.log,
            (std::vector<std::string>{"delete H", "delete layout H", "delete identity H"}));
  EXPECT_TRUE(sys.broadcasts.empty());
}

struct FreeLetterCase {
  const char *what;
  int overtaken;     // adds that another insert overtakes
  bool lettersFree;  // C to Z not all taken
  const char *image; // too long a path is refused by the driver whatever the letter
  AddOutcome outcome;
  char letter;
  int addRequests; // ours and the others'
};

class DriveClientFreeLetterTest : public DriveClientTest,
                                  public ::testing::WithParamInterface<FreeLetterCase> {};

TEST_P(DriveClientFreeLetterTest, NextFreeLetterWhenOvertaken) {
  const FreeLetterCase &c = GetParam();
  Install();
  WriteImage("a.iso", test::Pattern(8192));
  for (char letter : {'A', 'C', 'D', 'E', 'F'})
    sys.driveTypes[letter] = 3;
  if (!c.lettersFree)
    for (char letter = 'G'; letter <= 'Z'; ++letter)
      sys.driveTypes[letter] = 3;
  sys.addsOvertaken = c.overtaken;
  DeviceHandle control = OpenControlDevice(sys);
  sys.log.clear();

  const AddResult result = AddVirtualDriveAtFreeLetter(sys, control, c.image);
  EXPECT_EQ(result.outcome, c.outcome);
  EXPECT_EQ(result.letter, c.letter);
  EXPECT_EQ(std::count(sys.log.begin(), sys.log.end(),
                       "control " + std::to_string(IOCTL_VELMOR_ADD_DEVICE)),
            c.addRequests);
  if (c.letter) {
    EXPECT_TRUE(Mounted(c.letter));
    EXPECT_EQ(sys.values.back(), std::make_pair(std::string(1, c.letter), std::string(c.image)));
  }
}

const std::string kTooLongImage = "D:\\" + std::string(493, 'x') + ".iso";

INSTANTIATE_TEST_SUITE_P(
    Cases, DriveClientFreeLetterTest,
    ::testing::Values(
        FreeLetterCase{"first free letter", 0, true, "D:\\a.iso", AddOutcome::kAdded, 'G', 1},
        FreeLetterCase{"overtaken once", 1, true, "D:\\a.iso", AddOutcome::kAdded, 'H', 3},
        FreeLetterCase{"overtaken four times", 4, true, "D:\\a.iso", AddOutcome::kAdded, 'K', 9},
        FreeLetterCase{"overtaken every time", kAddAttempts, true, "D:\\a.iso",
                       AddOutcome::kRefused, 0, 2 * kAddAttempts},
        // Refused with the letter still free: the image is refused, no other letter helps.
        FreeLetterCase{"driver refuses the image", 0, true, kTooLongImage.c_str(),
                       AddOutcome::kRefused, 0, 1},
        FreeLetterCase{"no letter free", 0, false, "D:\\a.iso", AddOutcome::kNoFreeLetter, 0, 0}),
    [](const auto &info) {
      std::string name = info.param.what;
      std::replace_if(
          name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
      return name;
    });

struct ImagePathCase {
  const char *given, *base;
  ImageRefusal refusal;
  const char *path; // as checked and given to the driver
};

// The full path is formed as the window (against the list file's folder) and velmor-drive
// (against the current folder) form it, then refused where the driver could not open it the
// same way in every thread and at start-up.
TEST(ImagePathTest, FullLocalPathsOnly) {
  testing::FakeDriveSystem sys;
  sys.files = {{"C:\\list\\iso\\a.iso", {}},
               {"C:\\b.iso", {}},
               {"C:\\work\\c.iso", {}},
               {"N:\\n.iso", {}},
               {"S:\\s.iso", {}},
               {"E:\\e.iso", {}},
               {"C:\\" + std::string(488, 'y') + ".iso", {}},
               {"C:\\" + std::string(489, 'y') + ".iso", {}}};
  sys.folders = {"C:\\list\\dir.iso"};
  sys.driveTypes = {{'N', kDriveRemote}};
  sys.dosDevices = {{'S', "\\??\\C:\\subst"}, {'E', "\\Device\\VELMOR4"}};
  sys.fullPaths = {{"\\\\?\\C:\\b.iso", "\\\\?\\C:\\b.iso"},
                   {"\\\\?\\UNC\\srv\\share\\a.iso", "\\\\?\\UNC\\srv\\share\\a.iso"},
                   {"C:\\list\\bad", ""}};
  const std::string longest = "C:\\" + std::string(488, 'y') + ".iso"; // 495 units
  const std::string tooLong = "C:\\" + std::string(489, 'y') + ".iso";
  const ImagePathCase cases[] = {
      {"iso\\a.iso", "C:\\list\\", ImageRefusal::kNone, "C:\\list\\iso\\a.iso"},
      {"\\b.iso", "C:\\list\\", ImageRefusal::kNone, "C:\\b.iso"},
      {"c.iso", "", ImageRefusal::kNone, "C:\\work\\c.iso"},
      {"C:\\b.iso", "D:\\list\\", ImageRefusal::kNone, "C:\\b.iso"},
      {"\\\\?\\C:\\b.iso", "", ImageRefusal::kNone, "C:\\b.iso"},
      {"E:\\e.iso", "", ImageRefusal::kNone, "E:\\e.iso"}, // an image on a drive of ours
      {longest.c_str(), "", ImageRefusal::kNone, longest.c_str()},
      {tooLong.c_str(), "", ImageRefusal::kTooLong, tooLong.c_str()},
      {"missing.iso", "C:\\list\\", ImageRefusal::kMissing, "C:\\list\\missing.iso"},
      {"", "C:\\list\\", ImageRefusal::kMissing, ""},
      {"bad", "C:\\list\\", ImageRefusal::kMissing, "bad"},
      {"dir.iso", "C:\\list\\", ImageRefusal::kFolder, "C:\\list\\dir.iso"},
      {"\\\\srv\\share\\a.iso", "", ImageRefusal::kNetworkDrive, "\\\\srv\\share\\a.iso"},
      {"\\\\?\\UNC\\srv\\share\\a.iso", "", ImageRefusal::kNetworkDrive, "\\\\srv\\share\\a.iso"},
      {"N:\\n.iso", "", ImageRefusal::kNetworkDrive, "N:\\n.iso"},
      {"S:\\s.iso", "", ImageRefusal::kSubstDrive, "S:\\s.iso"},
      {"\\\\.\\C:\\b.iso", "", ImageRefusal::kNoDriveLetter, "\\\\.\\C:\\b.iso"},
  };
  for (const ImagePathCase &c : cases) {
    const ImageCheck check = CheckImagePath(sys, c.given, c.base);
    EXPECT_EQ(check.refusal, c.refusal) << c.given;
    EXPECT_EQ(check.path, c.path) << c.given;
  }

  // The files a descriptor names must stand for the same files at start-up too; a disc with
  // no known volume is mounted only when the user says so.
  std::vector<uint8_t> volume(18 * 2048);
  std::copy_n("\1CD001", 6, volume.begin() + 16 * 2048);
  sys.files["C:\\t.bin"] = sys.files["N:\\n.bin"] = sys.files["S:\\s.bin"] = volume;
  sys.files["C:\\z.bin"].assign(18 * 2048, 0);
  const struct {
    const char *track;
    MountPlan::Verdict verdict;
    ImageRefusal refusal;
  } plans[] = {
      {"t.bin", MountPlan::Verdict::kMount, ImageRefusal::kNone},
      {"z.bin", MountPlan::Verdict::kAskFirst, ImageRefusal::kNone},
      {"N:\\n.bin", MountPlan::Verdict::kRefused, ImageRefusal::kNetworkDrive},
      {"S:\\s.bin", MountPlan::Verdict::kRefused, ImageRefusal::kSubstDrive},
  };
  for (const auto &p : plans) {
    const std::string cue = std::string("FILE \"") + p.track +
                            "\" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n";
    sys.files["C:\\disc.cue"].assign(cue.begin(), cue.end());
    const MountPlan plan = PlanMount(sys, "C:\\disc.cue", "");
    EXPECT_EQ(plan.verdict, p.verdict) << p.track;
    EXPECT_EQ(plan.trackFile.refusal, p.refusal) << p.track;
    if (p.refusal != ImageRefusal::kNone) {
      EXPECT_EQ(plan.trackFile.path, p.track);
    }
  }
}

} // namespace
} // namespace velmor

// ---- Drives the image server makes -------------------------------------------------------------

namespace velmor {
namespace {

// The image server as the client reaches it: the requests it was sent, and its answers.
struct FakeServer {
  std::vector<channel::Request> requests;
  std::function<channel::Reply(const channel::Request &)> answer = [](const channel::Request &r) {
    channel::Reply reply;
    reply.kind = r.kind;
    reply.letter = r.letter;
    if (r.kind == channel::Kind::kHello)
      std::memcpy(reply.identity, kServerBuildIdentity, sizeof reply.identity);
    return reply;
  };
  // Installed into the fake system; it answers only while its service runs.
  void Serve(testing::FakeDriveSystem &s) {
    s.server = [this, &s](const std::vector<uint8_t> &bytes) {
      auto it = s.services.find(channel::kServerServiceName);
      if (it == s.services.end() || !it->second.running)
        return std::vector<uint8_t>();
      channel::Request request;
      EXPECT_TRUE(channel::DecodeRequest(bytes.data(), bytes.size(), &request));
      requests.push_back(request);
      s.log.push_back("server " + std::to_string(int(request.kind)));
      return channel::EncodeReply(answer(request));
    };
  }
  std::vector<channel::Kind> Kinds() const {
    std::vector<channel::Kind> kinds;
    for (const auto &r : requests)
      kinds.push_back(r.kind);
    return kinds;
  }
};

std::vector<uint8_t> ChdStart() {
  const std::string magic = "MComprHD";
  std::vector<uint8_t> bytes(magic.begin(), magic.end());
  bytes.resize(124);
  return bytes;
}

size_t IndexOf(const std::vector<std::string> &log, const std::string &line) {
  return size_t(std::find(log.begin(), log.end(), line) - log.begin());
}

TEST(ServedDriveTest, AServedImageIsPlannedForTheServerByItsContentNotByName) {
  testing::FakeDriveSystem s;
  s.files["C:\\discs\\game.chd"] = ChdStart();
  s.files["C:\\discs\\game.bin"] = ChdStart(); // the content decides, not the name
  s.files["\\\\nas\\discs\\game.chd"] = ChdStart();
  for (const char *path :
       {"C:\\discs\\game.chd", "C:\\discs\\game.bin", "\\\\nas\\discs\\game.chd"}) {
    const MountPlan plan = PlanMount(s, path, "");
    EXPECT_EQ(plan.image.refusal, ImageRefusal::kNone) << path;
    EXPECT_TRUE(plan.served) << path;
    EXPECT_EQ(plan.verdict, MountPlan::Verdict::kMount) << path;
    EXPECT_FALSE(plan.detected.error) << path << ": the image is the server's to read";
  }
  // A share is refused for anything else, and a missing image on one stays refused too.
  s.files["\\\\nas\\discs\\game.iso"] = test::Pattern(40 * 2048, 3);
  EXPECT_EQ(PlanMount(s, "\\\\nas\\discs\\game.iso", "").image.refusal,
            ImageRefusal::kNetworkDrive);
  EXPECT_EQ(PlanMount(s, "\\\\nas\\discs\\gone.chd", "").image.refusal,
            ImageRefusal::kNetworkDrive);
  s.files["C:\\discs\\short"] = {'M', 'C', 'o', 'm'};
  EXPECT_FALSE(IsServedImage(s, "C:\\discs\\short"));
  EXPECT_EQ(PlanMount(s, "\\\\nas\\" + std::string(500, 'x') + ".chd", "").image.refusal,
            ImageRefusal::kNetworkDrive);
}

TEST(ServedDriveTest, TheServerIsInstalledOnFirstUseAfterTheDriverAndReplacedWhenAnotherBuild) {
  for (const bool wow64 : {false, true}) {
    testing::FakeDriveSystem s;
    s.wow64 = wow64;
    FakeServer server;
    server.Serve(s);
    ServerFailure failure;
    ASSERT_TRUE(EnsureImageServer(s, &failure)) << int(failure.step);
    const std::string path = wow64 ? "C:\\windows\\SysWOW64\\velmor-served.exe"
                                   : "C:\\windows\\system32\\velmor-served.exe";
    EXPECT_EQ(ServerBinaryPath(s), path);
    EXPECT_NE(IndexOf(s.log, "server service VelmorServer " + path + " after VELMOR"),
              s.log.size());
    const EmbeddedFile carried = EmbeddedServerFile();
    const auto &written = s.files[path];
    ASSERT_EQ(written.size(), carried.size);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), carried.data));
    EXPECT_TRUE(s.services[channel::kServerServiceName].running);
  }

  // Another build answers: its drives released before it stops, the file replaced, the service
  // started again (which makes them again).
  testing::FakeDriveSystem s;
  FakeServer server;
  server.Serve(s);
  s.services[channel::kServerServiceName].running = true;
  s.files["C:\\windows\\system32\\velmor-served.exe"] = test::Pattern(100, 1);
  int hellos = 0;
  server.answer = [&hellos](const channel::Request &r) {
    channel::Reply reply;
    reply.kind = r.kind;
    if (r.kind == channel::Kind::kHello && hellos++ > 0)
      std::memcpy(reply.identity, kServerBuildIdentity, sizeof reply.identity);
    return reply;
  };
  ASSERT_TRUE(EnsureImageServer(s));
  EXPECT_LT(IndexOf(s.log, "server 5"), IndexOf(s.log, "stop VelmorServer"));
  EXPECT_LT(IndexOf(s.log, "stop VelmorServer"),
            IndexOf(s.log, "create C:\\windows\\system32\\velmor-served.exe"));
  EXPECT_EQ(s.files["C:\\windows\\system32\\velmor-served.exe"].size(), EmbeddedServerFile().size);

  // A server that never answers is told, not waited for without end.
  testing::FakeDriveSystem silent;
  ServerFailure failure;
  EXPECT_FALSE(EnsureImageServer(silent, &failure));
  EXPECT_EQ(failure.step, ServerFailure::Step::kNoAnswer);
}

TEST(ServedDriveTest, MountAsksTheServerAtAFreeLetterAndTheNextWhenOneIsTaken) {
  testing::FakeDriveSystem s;
  FakeServer server;
  server.Serve(s);
  s.services[channel::kServerServiceName].running = true;
  server.answer = [&s](const channel::Request &r) {
    channel::Reply reply;
    reply.kind = r.kind;
    reply.letter = r.letter;
    if (r.letter == u'C') { // another program's drive appeared there meanwhile
      s.dosDevices['C'] = "\\Device\\VELMOR7";
      reply.status = channel::Status::kLetterInUse;
    }
    return reply;
  };
  const ServedMount mount = MountServedImage(s, "C:\\discs\\游戏.chd", 0);
  ASSERT_TRUE(mount.reached);
  EXPECT_EQ(mount.reply.status, channel::Status::kOk);
  EXPECT_EQ(mount.reply.letter, u'D');
  ASSERT_EQ(server.requests.size(), 2u);
  EXPECT_EQ(server.requests[1].path, s.AnsiToUtf16("C:\\discs\\游戏.chd"));
  EXPECT_EQ(s.broadcasts.size(), size_t(NoticeRepeats(kDbtDeviceArrival)));

  // A refusal is the server's answer, passed on; a letter asked for is not changed.
  server.answer = [](const channel::Request &r) {
    channel::Reply reply;
    reply.kind = r.kind;
    reply.letter = r.letter;
    reply.status = channel::Status::kNotServedImage;
    reply.text = "unknown codec";
    return reply;
  };
  const ServedMount refused = MountServedImage(s, "C:\\discs\\b.chd", 'k');
  EXPECT_EQ(refused.reply.status, channel::Status::kNotServedImage);
  EXPECT_EQ(refused.reply.text, "unknown codec");
  EXPECT_EQ(server.requests.back().letter, u'K');
}

TEST(ServedDriveTest, EjectGoesThroughTheServerOrWithoutItLeavesNothingRecorded) {
  testing::FakeDriveSystem s;
  FakeServer server;
  server.Serve(s);
  s.services[channel::kServerServiceName].running = true;
  s.values = {{"F", "C:\\discs\\a.chd"}};
  s.servedValues["F"] = {1};
  s.dosDevices['F'] = "\\Device\\VELMOR3";
  EXPECT_TRUE(EjectVirtualDrive(s, 'f'));
  ASSERT_EQ(server.Kinds(), std::vector<channel::Kind>{channel::Kind::kEject});
  EXPECT_EQ(server.requests[0].letter, u'F');
  EXPECT_EQ(s.broadcasts.size(), size_t(NoticeRepeats(kDbtDeviceRemoveComplete)));

  // The server was killed: the drive (without media) is taken down here, and its records go,
  // so that a server started later does not make it again.
  s.services[channel::kServerServiceName].running = false;
  s.identityValues["F"] = {1};
  s.dosDevices.erase('F');
  EXPECT_TRUE(EjectVirtualDrive(s, 'F'));
  EXPECT_TRUE(s.values.empty());
  EXPECT_TRUE(s.servedValues.empty());
  EXPECT_TRUE(s.identityValues.empty());

  // A classic drive added at a letter takes the served record away.
  s.servedValues["G"] = {1};
  DeleteDriveMapping(s, 'G');
  EXPECT_TRUE(s.servedValues.empty());
}

TEST(ServedDriveTest, ListAsksTheServerWhyAServedDriveIsNotMounted) {
  testing::FakeDriveSystem s;
  FakeServer server;
  server.Serve(s);
  s.services[channel::kServerServiceName].running = true;
  s.values = {{"E", "\\\\nas\\discs\\a.chd"}, {"F", "C:\\discs\\b.chd"}};
  s.servedValues["E"] = {1};
  s.servedValues["F"] = {1};
  s.dosDevices['E'] = "\\Device\\VELMOR1"; // left by a server that ended: no media
  s.dosDevices['F'] = "\\Device\\VELMOR2";
  server.answer = [](const channel::Request &r) {
    channel::Reply reply;
    reply.kind = r.kind;
    reply.drives = {{u'E', channel::NotMounted::kUnreachable, 53},
                    {u'F', channel::NotMounted::kMounted, 0}};
    return reply;
  };
  std::vector<RecordedDrive> drives = RecordedDrives(s);
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_TRUE(drives[0].served);
  EXPECT_FALSE(drives[0].mounted) << "a device without its server is no drive";
  EXPECT_EQ(drives[0].servedState, channel::NotMounted::kUnreachable);
  EXPECT_EQ(drives[0].servedCode, 53u);
  EXPECT_TRUE(drives[1].mounted);

  s.services[channel::kServerServiceName].running = false;
  drives = RecordedDrives(s);
  EXPECT_FALSE(drives[1].mounted);
  EXPECT_FALSE(drives[1].serverRunning);
}

// An upgrade of the driver: the server's handles would hold the old driver, and its service
// depends on the driver's, so its drives are released and it is stopped first, and started
// again (which makes them again) once the new driver runs.
TEST(ServedDriveTest, DriverUpgradeStopsTheServerFirstAndStartsItAfter) {
  testing::FakeDriveSystem s;
  FakeServer server;
  server.Serve(s);
  s.openable[kControlDevicePath] = 1;
  s.buildAnswer = {uint8_t(kBuildProtocolVersion + 1), 0, 0, 0};
  s.heldAnswer = {0, 0, 0, 0};
  s.services["VELMOR"] = {kDriverPath, true};
  s.services[channel::kServerServiceName].running = true;
  s.log.clear();
  ASSERT_TRUE(OpenControlDevice(s).valid());
  const size_t release = IndexOf(s.log, "server 5");
  ASSERT_LT(release, s.log.size());
  EXPECT_LT(release, IndexOf(s.log, "stop VelmorServer"));
  EXPECT_LT(IndexOf(s.log, "stop VelmorServer"), IndexOf(s.log, "stop VELMOR"));
  EXPECT_TRUE(s.services[channel::kServerServiceName].running) << "started again after";

  // A server that does not stop keeps the old driver: it is not stopped under it.
  testing::FakeDriveSystem stuck;
  FakeServer other;
  other.Serve(stuck);
  stuck.openable[kControlDevicePath] = 1;
  stuck.buildAnswer = {uint8_t(kBuildProtocolVersion + 1), 0, 0, 0};
  stuck.heldAnswer = {0, 0, 0, 0};
  stuck.services["VELMOR"] = {kDriverPath, true};
  stuck.services[channel::kServerServiceName] = {"", true, false, true};
  bool restartNeeded = false;
  ASSERT_TRUE(OpenControlDevice(stuck, nullptr, &restartNeeded).valid());
  EXPECT_TRUE(restartNeeded);
  EXPECT_EQ(IndexOf(stuck.log, "stop VELMOR"), stuck.log.size());
}

TEST(ServedDriveTest, UninstallEjectsServedDrivesThroughTheServerAndRemovesItBeforeTheDriver) {
  testing::FakeDriveSystem s;
  FakeServer server;
  server.Serve(s);
  s.services[channel::kServerServiceName].running = true;
  s.services[kServiceName].running = true;
  s.files["C:\\windows\\system32\\velmor-served.exe"] = test::Pattern(100, 1);
  s.values = {{"F", "C:\\discs\\a.chd"}};
  s.servedValues["F"] = {1};
  Uninstall(s);
  EXPECT_EQ(server.Kinds(), std::vector<channel::Kind>{channel::Kind::kEject});
  const size_t serverStop = IndexOf(s.log, "stop VelmorServer");
  ASSERT_LT(serverStop, s.log.size());
  EXPECT_LT(serverStop, IndexOf(s.log, "stop VELMOR")) << "its service depends on the driver's";
  EXPECT_LT(IndexOf(s.log, "delete service VelmorServer"), s.log.size());
  EXPECT_EQ(s.files.count("C:\\windows\\system32\\velmor-served.exe"), 0u);
}

} // namespace
} // namespace velmor
