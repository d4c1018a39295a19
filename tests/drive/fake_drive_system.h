// A DriveSystem kept in memory that records what the client asks of it: files, services,
// registry values, broadcasts, drive types and device names. Devices do not open unless a
// test says so; the host tests route them to the driver's request logic instead.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drive_system.h"

namespace velmor::testing {

class FakeDriveSystem : public DriveSystem {
public:
  struct Service {
    std::string binaryPath;
    bool running = false;
    bool stoppable = true;    // a driver with an unload routine
    bool stopRefused = false; // Windows refuses to stop a driver without one
    bool deleted = false;     // marked for deletion
  };
  struct Broadcast {
    uint32_t event;
    VolumeNotice notice;
  };

  std::string SystemDirectory() override { return systemDirectory; }
  // Drive paths and shares are full already; anything else is taken as relative to
  // currentFolder. A path in fullPaths has the full form given there.
  std::string FullPath(const std::string &path) override {
    if (auto it = fullPaths.find(path); it != fullPaths.end())
      return it->second;
    if (path.size() >= 2 && (path[1] == ':' || (path[0] == '\\' && path[1] == '\\')))
      return path;
    return currentFolder + path;
  }
  PathKind KindOfPath(const std::string &path) override {
    return files.count(path)     ? PathKind::kFile
           : folders.count(path) ? PathKind::kFolder
                                 : PathKind::kMissing;
  }
  Handle CreateFileForWrite(const std::string &path) override {
    if (!filesWritable || mapped.count(Redirect(path)))
      return lastError = syserr::kAccessDenied, kInvalidHandle;
    if (writesBusy > 0 && writesBusy--)
      return lastError = syserr::kSharingViolation, kInvalidHandle;
    log.push_back("create " + Redirect(path));
    files[Redirect(path)].clear();
    writing = Redirect(path);
    return kFileHandle;
  }
  bool WriteFile(Handle file, const void *data, uint32_t size) override {
    if (file != kFileHandle)
      return false;
    if (writesUntilFull >= 0 && writesUntilFull-- == 0)
      return lastError = syserr::kDiskFull, false;
    pieces.push_back(size);
    auto *bytes = static_cast<const uint8_t *>(data);
    if (!writesLost)
      files[writing].insert(files[writing].end(), bytes, bytes + size);
    return true;
  }
  bool ReadFileStart(const std::string &path, uint32_t limit,
                     std::vector<uint8_t> &bytes) override {
    auto it = files.find(Redirect(path));
    if (it == files.end())
      return lastError = syserr::kFileNotFound, false;
    bytes.assign(it->second.begin(),
                 it->second.begin() + std::min<size_t>(limit, it->second.size()));
    return true;
  }
  bool RemoveFile(const std::string &path) override {
    log.push_back("delete file " + Redirect(path));
    if (undeletable.count(Redirect(path)) || mapped.count(Redirect(path)))
      return lastError = syserr::kAccessDenied, false;
    for (const auto &lock : locks) // open without delete sharing
      if (lock.second == path)
        return lastError = syserr::kSharingViolation, false;
    files.erase(Redirect(path));
    return true;
  }
  bool RenameFile(const std::string &from, const std::string &to) override {
    log.push_back("rename " + Redirect(from) + " " + Redirect(to));
    auto it = files.find(Redirect(from));
    if (it == files.end())
      return lastError = syserr::kFileNotFound, false;
    auto bytes = std::move(it->second);
    files.erase(it);
    files[Redirect(to)] = std::move(bytes);
    if (mapped.erase(Redirect(from))) // the image stays mapped under its new name
      mapped.insert(Redirect(to));
    return true;
  }
  void RemoveFileAtRestart(const std::string &path) override {
    log.push_back("delete at restart " + Redirect(path));
  }
  std::string CacheFolder() override { return cacheFolder; }
  std::vector<std::string> FilesIn(const std::string &folder) override {
    std::vector<std::string> names;
    for (const auto &[path, bytes] : files)
      if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path.find('\\', folder.size()) == std::string::npos)
        names.push_back(path.substr(folder.size()));
    return names;
  }
  bool RemoveFolder(const std::string &path) override {
    log.push_back("delete folder " + path);
    for (const auto &file : files)
      if (file.first.rfind(path + "\\", 0) == 0)
        return lastError = kDirNotEmpty, false;
    return folders.erase(path) > 0 || (lastError = syserr::kFileNotFound, false);
  }
  // Locks are held in memory: a handle of its own for each, given up by Close.
  Handle LockFile(const std::string &path, bool createNew) override {
    log.push_back((createNew ? "lock new " : "lock ") + path);
    if (onLock)
      onLock(path);
    if (createNew && files.count(path))
      return lastError = kFileExists, kInvalidHandle;
    files[path];
    for (const auto &lock : locks)
      if (lock.second == path)
        return lastError = kLockViolation, kInvalidHandle;
    const Handle handle = kLockHandle + nextLock++;
    locks[handle] = path;
    return handle;
  }
  uint32_t LastError() override { return lastError; }
  void Pause(uint32_t ms) override {
    paused += ms;
    if (onPause)
      onPause();
  }
  bool Is64BitSystem() override { return wow64; }
  void SetFileRedirection(bool on) override {
    log.push_back(on ? "redirection on" : "redirection off");
    redirected = on;
  }

  Handle OpenDevice(const std::string &path) override {
    log.push_back("open " + path);
    return openable.count(path) ? kDeviceHandle : kInvalidHandle;
  }
  Handle OpenDeviceWithoutAccess(const std::string &path) override {
    log.push_back("open without access " + path);
    return openable.count(path) ? kDeviceHandle : kInvalidHandle;
  }
  bool DeviceControl(Handle, uint32_t code, const void *, uint32_t, void *output,
                     uint32_t outputSize, uint32_t *returned = nullptr) override {
    log.push_back("control " + std::to_string(code));
    if (returned)
      *returned = 0;
    // The running driver's answers, for the requests it knows.
    const std::vector<uint8_t> *answer = code == IOCTL_VELMOR_GET_BUILD     ? &buildAnswer
                                         : code == IOCTL_VELMOR_GET_SKIPPED ? &skippedAnswer
                                         : code == IOCTL_VELMOR_GET_HELD    ? &heldAnswer
                                                                            : nullptr;
    if (answer) {
      if (answer->empty() || outputSize < answer->size())
        return false;
      std::copy(answer->begin(), answer->end(), static_cast<uint8_t *>(output));
      if (returned)
        *returned = uint32_t(answer->size());
      return true;
    }
    return controlAccepts;
  }
  void Close(Handle handle) override {
    ++closes;
    locks.erase(handle);
  }

  Handle OpenServiceManager() override {
    if (managerRefused)
      return lastError = syserr::kAccessDenied, kNoService;
    return kManagerHandle;
  }
  Handle OpenDriverService(Handle manager, const std::string &name) override {
    return manager == kManagerHandle && services.count(name) ? Named(name) : kNoService;
  }
  Handle CreateKernelService(Handle manager, const std::string &name,
                             const std::string &binaryPath) override {
    if (serviceAppearsOnCreate) // another program creates it just before this one
      services[name].binaryPath = binaryPath;
    if (manager != kManagerHandle || services.count(name))
      return lastError = syserr::kServiceExists, kNoService;
    log.push_back("service " + name + " " + binaryPath);
    services[name].binaryPath = binaryPath;
    return Named(name);
  }
  Handle CreateServerService(Handle manager, const std::string &name, const std::string &,
                             const std::string &binaryPath,
                             const std::string &dependency) override {
    if (manager != kManagerHandle || services.count(name))
      return lastError = syserr::kServiceExists, kNoService;
    log.push_back("server service " + name + " " + binaryPath + " after " + dependency);
    services[name].binaryPath = binaryPath;
    return Named(name);
  }
  bool StartDriverService(Handle service) override {
    Service &s = services[serviceNames.at(service - 1)];
    if (s.running)
      return lastError = syserr::kServiceAlreadyRunning, false;
    lastError = StartError(s);
    s.running = lastError == 0;
    return s.running;
  }
  bool StopDriverService(Handle service) override {
    Service &s = services[serviceNames.at(service - 1)];
    log.push_back("stop " + serviceNames.at(service - 1));
    if (!s.running)
      return lastError = syserr::kServiceNotActive, false;
    if (s.stopRefused)
      return lastError = 1052, false;
    if (s.stoppable)
      s.running = false;
    return true; // Wine accepts the stop of a driver without unload and leaves it running
  }
  ServiceState QueryServiceState(Handle service) override {
    return services[serviceNames.at(service - 1)].running ? ServiceState::kRunning
                                                          : ServiceState::kStopped;
  }
  bool DeleteDriverService(Handle service) override {
    log.push_back("delete service " + serviceNames.at(service - 1));
    if (serviceUndeletable)
      return lastError = syserr::kAccessDenied, false;
    services[serviceNames.at(service - 1)].deleted = true;
    return true;
  }
  void CloseService(Handle service) override {
    ++serviceCloses;
    // A service marked for deletion goes with its last handle; this fake keeps one at a time.
    if (service != kManagerHandle && service >= 1 && service <= serviceNames.size()) {
      auto it = services.find(serviceNames[service - 1]);
      if (it != services.end() && it->second.deleted && !it->second.running)
        services.erase(it);
    }
  }
  long DeleteServiceKey(const std::string &name) override {
    log.push_back("delete key " + name);
    if (serviceKeyError)
      return serviceKeyError;
    values.clear();
    layoutValues.clear();
    identityValues.clear();
    servedValues.clear();
    return 0;
  }
  long RemoveShellVerbs() override {
    log.push_back("remove verbs");
    return verbsError;
  }

  long SetDriveValue(const std::string &name, const std::string &path) override {
    if (registryError)
      return registryError;
    log.push_back("set " + name + " " + path);
    for (auto &value : values)
      if (value.first == name)
        return value.second = path, 0;
    values.emplace_back(name, path);
    return 0;
  }
  void DeleteDriveValue(const std::string &name) override {
    log.push_back("delete " + name);
    for (auto it = values.begin(); it != values.end(); ++it)
      if (it->first == name)
        return void(values.erase(it));
  }
  std::vector<std::pair<std::string, std::string>> DriveValues() override { return values; }
  long SetLayoutValue(const std::string &name, const void *data, uint32_t size) override {
    if (layoutRegistryError)
      return layoutRegistryError;
    log.push_back("set layout " + name);
    auto *bytes = static_cast<const uint8_t *>(data);
    layoutValues[name].assign(bytes, bytes + size);
    return 0;
  }
  void DeleteLayoutValue(const std::string &name) override {
    log.push_back("delete layout " + name);
    layoutValues.erase(name);
  }

  long SetIdentityValue(const std::string &name, const void *data, uint32_t size) override {
    if (identityRegistryError)
      return identityRegistryError;
    log.push_back("set identity " + name);
    auto *bytes = static_cast<const uint8_t *>(data);
    identityValues[name].assign(bytes, bytes + size);
    return 0;
  }
  void DeleteIdentityValue(const std::string &name) override {
    log.push_back("delete identity " + name);
    identityValues.erase(name);
  }
  bool HasIdentityValue(const std::string &name) override { return identityValues.count(name); }
  bool HasServedValue(const std::string &name) override { return servedValues.count(name); }
  void DeleteServedValue(const std::string &name) override { servedValues.erase(name); }
  // The image server: a test's own, or none (the pipe does not open).
  bool CallServer(const std::vector<uint8_t> &request, std::vector<uint8_t> &reply) override {
    if (!server)
      return lastError = syserr::kFileNotFound, false;
    reply = server(request);
    return true;
  }

  void BroadcastDeviceChange(uint32_t event, const VolumeNotice &notice) override {
    log.push_back("broadcast " + std::to_string(event));
    broadcasts.push_back({event, notice});
  }

  unsigned DriveType(char letter) override {
    auto it = driveTypes.find(letter);
    return it == driveTypes.end() ? kDriveNoRootDir : it->second;
  }
  std::string DosDeviceTarget(char letter) override {
    auto it = dosDevices.find(letter);
    return it == dosDevices.end() ? std::string() : it->second;
  }
  std::string VolumeLabel(char letter) override {
    auto it = labels.find(letter);
    return it == labels.end() ? std::string() : it->second;
  }
  // Bytes as code units: the tests' paths are ASCII.
  std::u16string AnsiToUtf16(const std::string &text) override {
    return std::u16string(text.begin(), text.end());
  }
  std::string Utf16ToAnsi(const std::u16string &text) override {
    return std::string(text.begin(), text.end());
  }
  // The image readers see `files` under the same names.
  formats::ImageFiles &ImageFiles() override { return imageFiles_; }

  std::string systemDirectory = "C:\\windows\\system32";
  // A 32-bit program on a 64-bit system: its names under the system directory lead to
  // syswow64 while redirected.
  bool wow64 = false, redirected = true;
  std::string currentFolder = "C:\\work\\";
  std::string cacheFolder = "C:\\users\\u\\AppData\\Local\\Velmor\\FolderDiscs\\";
  std::map<std::string, std::string> fullPaths;
  std::map<std::string, std::vector<uint8_t>> files;
  std::set<std::string> folders;
  std::vector<uint32_t> pieces;
  bool filesWritable = true;
  int writesUntilFull = -1; // the disk fills after that many writes
  int writesBusy = 0;       // opens for writing that find another program writing the file
  bool serviceAppearsOnCreate = false;
  bool writesLost = false; // writes report success but store nothing
  uint32_t lastError = 0;
  uint32_t startError = 0;             // what a start of a service answers
  std::map<std::string, int> openable; // paths that open
  bool controlAccepts = true;
  int closes = 0;
  bool managerRefused = false;
  std::map<std::string, Service> services;
  int serviceCloses = 0;
  long registryError = 0, layoutRegistryError = 0, identityRegistryError = 0;
  std::map<std::string, std::vector<uint8_t>> layoutValues, identityValues, servedValues;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t> &)> server;
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<Broadcast> broadcasts;
  std::map<char, unsigned> driveTypes;
  std::map<char, std::string> dosDevices;
  std::map<char, std::string> labels;
  std::vector<std::string> log;     // what was asked, in order
  std::vector<uint8_t> buildAnswer; // the running driver's build answer; empty: not known
  std::vector<uint8_t> skippedAnswer, heldAnswer; // likewise
  std::set<std::string> undeletable;
  std::set<std::string> mapped; // the running driver's image: renamed, never written or deleted
  bool serviceUndeletable = false;
  long serviceKeyError = 0, verbsError = 0;
  uint32_t paused = 0;                             // milliseconds waited in all
  std::function<void()> onPause;                   // what happens meanwhile
  std::map<Handle, std::string> locks;             // held, by handle
  std::function<void(const std::string &)> onLock; // what happens before a lock is taken
  static constexpr uint32_t kFileExists = 80, kLockViolation = 33, kDirNotEmpty = 145;

protected:
  static constexpr Handle kFileHandle = 0x100;
  static constexpr Handle kDeviceHandle = 0x200;
  static constexpr Handle kManagerHandle = 0x300;
  static constexpr Handle kLockHandle = 0x1000;
  Handle nextLock = 0;
  // What a start request for the service answers (0: started); the host tests start the
  // driver here.
  virtual uint32_t StartError(const Service &) { return startError; }
  // The name that a file name of this program stands for.
  std::string Redirect(const std::string &path) const {
    if (!wow64 || !redirected || path.rfind(systemDirectory + "\\", 0) != 0)
      return path;
    return "C:\\windows\\syswow64" + path.substr(systemDirectory.size());
  }

private:
  class Files final : public formats::ImageFiles {
  public:
    explicit Files(FakeDriveSystem &system) : system_(system) {}
    bool Size(const std::u16string &path, uint64_t *size) override {
      const std::vector<uint8_t> *file = Find(path);
      return file && (*size = file->size(), true);
    }
    bool Read(const std::u16string &path, uint64_t offset, void *buffer, uint32_t length,
              uint32_t *got) override {
      const std::vector<uint8_t> *file = Find(path);
      if (!file)
        return false;
      *got =
          offset >= file->size() ? 0 : uint32_t(std::min<uint64_t>(length, file->size() - offset));
      std::copy_n(file->data() + (*got ? offset : 0), *got, static_cast<uint8_t *>(buffer));
      return true;
    }
    std::u16string AnsiToUtf16(const std::string &bytes) override {
      return system_.AnsiToUtf16(bytes);
    }

  private:
    const std::vector<uint8_t> *Find(const std::u16string &path) {
      auto it = system_.files.find(system_.Utf16ToAnsi(path));
      return it == system_.files.end() ? nullptr : &it->second;
    }
    FakeDriveSystem &system_;
  };

  Handle Named(const std::string &name) {
    serviceNames.push_back(name);
    return serviceNames.size();
  }
  std::string writing;
  std::vector<std::string> serviceNames;
  Files imageFiles_{*this};
};

} // namespace velmor::testing
