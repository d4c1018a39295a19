// A DriveSystem kept in memory that records what the client asks of it: files, services,
// registry values, broadcasts, drive types and device names. Devices do not open unless a
// test says so; the host tests route them to the driver's request logic instead.
#pragma once

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
  };
  struct Broadcast {
    uint32_t event;
    VolumeNotice notice;
  };

  std::string SystemDirectory() override { return systemDirectory; }
  bool FileExists(const std::string &path) override { return files.count(path) != 0; }
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
    if (!filesWritable)
      return kInvalidHandle;
    log.push_back("create " + path);
    files[path].clear();
    writing = path;
    return kFileHandle;
  }
  bool WriteFile(Handle file, const void *data, uint32_t size) override {
    if (file != kFileHandle)
      return false;
    pieces.push_back(size);
    auto *bytes = static_cast<const uint8_t *>(data);
    files[writing].insert(files[writing].end(), bytes, bytes + size);
    return true;
  }

  Handle OpenDevice(const std::string &path) override {
    log.push_back("open " + path);
    return openable.count(path) ? kDeviceHandle : kInvalidHandle;
  }
  Handle OpenDeviceWithoutAccess(const std::string &path) override {
    log.push_back("open without access " + path);
    return openable.count(path) ? kDeviceHandle : kInvalidHandle;
  }
  bool DeviceControl(Handle, uint32_t code, const void *, uint32_t, void *, uint32_t) override {
    log.push_back("control " + std::to_string(code));
    return controlAccepts;
  }
  void Close(Handle) override { ++closes; }

  Handle OpenServiceManager() override { return managerRefused ? kNoService : kManagerHandle; }
  Handle OpenDriverService(Handle manager, const std::string &name) override {
    return manager == kManagerHandle && services.count(name) ? Named(name) : kNoService;
  }
  Handle CreateKernelService(Handle manager, const std::string &name,
                             const std::string &binaryPath) override {
    if (manager != kManagerHandle || services.count(name))
      return kNoService;
    log.push_back("service " + name + " " + binaryPath);
    services[name].binaryPath = binaryPath;
    return Named(name);
  }
  bool StartDriverService(Handle service) override {
    Service &s = services[serviceNames.at(service - 1)];
    if (s.running)
      return false;
    s.running = Started(s);
    return s.running;
  }
  void CloseService(Handle) override { ++serviceCloses; }

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

  std::string systemDirectory = "C:\\windows\\system32";
  std::string currentFolder = "C:\\work\\";
  std::map<std::string, std::string> fullPaths;
  std::map<std::string, std::vector<uint8_t>> files;
  std::set<std::string> folders;
  std::vector<uint32_t> pieces;
  bool filesWritable = true;
  std::map<std::string, int> openable; // paths that open
  bool controlAccepts = true;
  int closes = 0;
  bool managerRefused = false;
  std::map<std::string, Service> services;
  int serviceCloses = 0;
  long registryError = 0;
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<Broadcast> broadcasts;
  std::map<char, unsigned> driveTypes;
  std::map<char, std::string> dosDevices;
  std::map<char, std::string> labels;
  std::vector<std::string> log; // what was asked, in order

protected:
  static constexpr Handle kFileHandle = 0x100;
  static constexpr Handle kDeviceHandle = 0x200;
  static constexpr Handle kManagerHandle = 0x300;
  // Whether a start request for the service succeeds; the host tests start the driver here.
  virtual bool Started(const Service &) { return true; }

private:
  Handle Named(const std::string &name) {
    serviceNames.push_back(name);
    return serviceNames.size();
  }
  std::string writing;
  std::vector<std::string> serviceNames;
};

} // namespace velmor::testing
