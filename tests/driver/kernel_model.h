// A user-mode model of the kernel operations the driver uses (kernel_seam.h), for fast host
// tests: a namespace of devices and links that refuses duplicates, paged pool that can be made
// to fail, image files read from the host file system and a registry of string values.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kernel_seam.h"

namespace velmor::kernel {

struct Driver {
  bool handlersInstalled = false;
};

struct Device {
  Driver *driver = nullptr;
  std::u16string name;
  uint32_t type = 0;
  uint32_t characteristics = 0;
  bool exclusive = false;
  uint32_t flags = kDoDeviceInitializing;
  uint32_t alignment = 0;
  std::unique_ptr<uint8_t[]> extension;
  int openHandles = 0;
  bool deleted = false;
};

// A request as the I/O manager would hand it over; the buffers belong to the test.
struct Request {
  uint32_t code = 0;
  uint32_t inputLength = 0;
  uint32_t outputLength = 0;
  void *systemBuffer = nullptr;
  void *userBuffer = nullptr;
  int64_t byteOffset = 0;
  uint32_t length = 0;
  void *readBuffer = nullptr;
  // Filled on completion.
  int completions = 0;
  NtStatus status = 0;
  uint32_t information = 0;
};

} // namespace velmor::kernel

namespace velmor::test {

struct FileRead {
  std::string hostPath;
  int64_t offset;
  uint32_t length;
};

class KernelModel {
public:
  KernelModel();  // becomes the kernel that the seam operations act on
  ~KernelModel(); // releases what the driver left behind
  KernelModel(const KernelModel &) = delete;
  KernelModel &operator=(const KernelModel &) = delete;

  // Namespace of devices and links.
  kernel::Device *FindDevice(const std::u16string &name) const;
  // The device a link names, or null.
  kernel::Device *Resolve(const std::u16string &link) const;
  bool HasName(const std::u16string &name) const;
  size_t DeviceCount() const { return live_devices_; }
  const std::vector<std::u16string> &CreatedDevices() const { return created_; }
  void HoldName(const std::u16string &name); // a name another driver owns
  // A handle keeps a deleted device's memory until it is closed.
  kernel::Device *Open(const std::u16string &name);
  void Close(kernel::Device *device);

  // Paged pool: the nth allocation from now on (1-based) fails; 0 fails none.
  void FailAllocation(int nth) { fail_at_ = nth ? allocations_ + nth : 0; }
  size_t LiveAllocations() const { return pool_.size(); }
  int Allocations() const { return allocations_; }
  bool AllTagged(uint32_t tag) const;
  // Caller memory: the nth copy from or to it from now on (1-based) faults; 0 faults none.
  // Under ASan a test may poison a caller's buffer: the copies lift the poison for their own
  // bytes only, so any other access of the driver to the buffer is reported.
  void FailCallerAccess(int nth) { fail_caller_at_ = nth ? caller_copies_ + nth : 0; }
  int CallerCopies() const { return caller_copies_; }
  // Double deletes and frees seen so far.
  int Faults() const { return faults_; }

  // Image files: "\??\L:\dir\file" is read from hostDir/dir/file.
  void MapDosDrive(char16_t letter, const std::string &hostDir);
  const std::vector<FileRead> &Reads() const { return reads_; }
  // Runs `hook` inside the next file open, after the open has taken the name's counted string
  // and before it reads the characters.
  void OnNextFileOpen(std::function<void()> hook) { before_open_ = std::move(hook); }
  int OpenFiles() const { return open_files_; }

  // Registry: string values under absolute key paths (case-insensitive names).
  void SetValue(const std::u16string &key, const std::u16string &name, const std::u16string &data);
  // A value of a type other than REG_SZ (binary, number).
  void SetNonStringValue(const std::u16string &key, const std::u16string &name);
  // Wine fails a query of a missing value; Windows leaves the string as it was.
  void SetMissingValueFails(bool fails) { missing_value_fails_ = fails; }
  const std::vector<std::u16string> &QueriedValues() const { return queried_; }

  // Used by the seam operations.
  NtStatus CreateDevice(kernel::Driver *driver, const std::u16string &name, uint32_t extension,
                        uint32_t type, uint32_t characteristics, bool exclusive,
                        kernel::Device **created);
  void DeleteDevice(kernel::Device *device);
  NtStatus CreateLink(const std::u16string &link, const std::u16string &target);
  NtStatus DeleteLink(const std::u16string &link);
  bool CopyCallerMemory(void *to, const void *from, uint32_t length, const void *callerMemory);
  void *Allocate(size_t bytes, uint32_t tag);
  void Free(void *memory);
  void EnterFileOpen();
  NtStatus OpenFile(const std::u16string &ntPath, kernel::FileHandle *handle);
  NtStatus ReadFile(kernel::FileHandle handle, void *buffer, uint32_t length, int64_t offset);
  void CloseFile(kernel::FileHandle handle);
  NtStatus Query(const std::u16string &key, const std::u16string &name, UString *value);

private:
  struct Entry {
    kernel::Device *device = nullptr; // a device, or
    std::u16string target;            // the target of a link
  };
  struct Allocation {
    size_t bytes;
    uint32_t tag;
  };
  void Destroy(kernel::Device *device);

  std::map<std::u16string, Entry> names_; // keys upper-cased
  std::set<kernel::Device *> devices_;
  std::vector<std::u16string> created_;
  size_t live_devices_ = 0;
  std::map<void *, Allocation> pool_;
  int allocations_ = 0;
  int fail_at_ = 0;
  int caller_copies_ = 0;
  int fail_caller_at_ = 0;
  std::map<char16_t, std::string> dos_drives_;
  std::vector<FileRead> reads_;
  int open_files_ = 0;
  std::function<void()> before_open_;
  struct Value {
    bool isString;
    std::u16string data;
  };
  std::map<std::u16string, std::map<std::u16string, Value>> registry_;
  bool missing_value_fails_ = true;
  int faults_ = 0;
  std::vector<std::u16string> queried_;
};

std::u16string ToU16(const std::string &ascii);
std::string ToNarrow(const std::u16string &text);
std::u16string Upper(std::u16string text);

} // namespace velmor::test
