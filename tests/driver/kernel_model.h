// A user-mode model of the kernel operations the driver uses (kernel_seam.h), for fast host
// tests: a namespace of devices and links that refuses duplicates, paged pool that can be made
// to fail, image files read from the host file system and a registry of string values.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kernel_seam.h"

namespace velmor::kernel {

struct Driver {
  bool handlersInstalled = false; // create, close, cleanup, read, device control and unload
  void (*unload)(Driver *) = nullptr;
  // A stop of the service found a device still referenced: the unload runs when the last
  // reference goes, and meanwhile no device of the driver opens.
  bool unloadPending = false;
  bool unloaded = false;
};

// Who may open a device, as its security descriptor says; kDefault is the system's default,
// which lets everyone in.
enum class DeviceSecurity { kDefault, kAdministratorsOnly, kEveryoneToo };

struct Device {
  Driver *driver = nullptr;
  std::u16string name;
  uint32_t type = 0;
  uint32_t characteristics = 0;
  bool exclusive = false;
  uint32_t flags = kDoDeviceInitializing;
  uint32_t alignment = 0;
  std::unique_ptr<uint8_t[]> extension;
  uint32_t extensionSize = 0;
  int openHandles = 0;      // handles and references (the I/O manager's count)
  int objectReferences = 0; // the driver's own references: they keep only the memory
  bool deleted = false;
  bool listed = true; // in the driver's list: until deleted and no longer referenced
  DeviceSecurity security = DeviceSecurity::kDefault;
  uint32_t everyoneAccess = 0; // what Everyone (and restricted tokens) may do
};

struct SpinLock {
  std::mutex mutex;
};

struct WorkEvent {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
  bool stopping = false;
};

struct SystemThread {
  std::thread thread;
  std::thread::id id;
};

// A request as the I/O manager would hand it over; the buffers belong to the test.
struct Request {
  uint32_t code = 0;
  uint32_t inputLength = 0;
  uint32_t outputLength = 0;
  void *systemBuffer = nullptr;
  void *type3Input = nullptr; // where a kernel-mode caller leaves a direct request's input
  int64_t byteOffset = 0;
  uint32_t length = 0;
  void *readBuffer = nullptr;
  // The bytes the locked buffer describes; by default the whole transfer.
  uint32_t mdlBytes = UINT32_MAX;
  bool fromUserMode = false;
  bool overrideVerify = false;
  const void *file = nullptr; // the file object it came through
  void *driverContext[4] = {};
  bool pending = false;
  bool cancelRequested = false;
  // Set while the request waits in a queue that may cancel it; whoever clears it owns it.
  bool cancelRoutineSet = false;
  kernel::RequestQueue *queuedIn = nullptr;
  // Filled on completion.
  std::atomic<int> completions{0};
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

// The interrupt request level of the calling thread; threads start at PASSIVE_LEVEL.
kernel::Irql ThreadIrql();
void SetThreadIrql(kernel::Irql level);
// Raises the calling thread's level for a scope, as the system does for a paging read.
class IrqlScope {
public:
  explicit IrqlScope(kernel::Irql level);
  ~IrqlScope();

private:
  kernel::Irql previous_;
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
  // The driver's live devices, in creation order (the kernel's list).
  kernel::Device *NextDevice(kernel::Driver *driver, kernel::Device *after) const;
  size_t DeviceCount() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return live_devices_;
  }
  const std::vector<std::u16string> &CreatedDevices() const { return created_; }
  // Device objects whose memory is still there, deleted ones included.
  size_t DeviceObjects() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return devices_.size();
  }
  void HoldName(const std::u16string &name); // a name another driver owns
  // A handle keeps a deleted device listed, and its memory, until it is closed. No device of a
  // driver whose unload is pending opens.
  kernel::Device *Open(const std::u16string &name);
  void Close(kernel::Device *device);
  // A stop of the driver's service: the unload routine runs now when no device of the driver
  // is referenced (true), else once the last reference goes.
  bool StopDriver(kernel::Driver *driver);
  void ReferenceDevice(kernel::Device *device);
  void ReleaseDevice(kernel::Device *device);

  // Paged pool: the nth allocation from now on (1-based) fails; 0 fails none.
  void FailAllocation(int nth) { fail_at_ = nth ? allocations_ + nth : 0; }
  size_t LiveAllocations() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return pool_.size();
  }
  int Allocations() const { return allocations_; }
  bool AllTagged(uint32_t tag) const;
  // Double deletes and frees seen so far.
  int Faults() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return faults_;
  }

  // Without a global directory (as before terminal services), links can only be made under
  // the plain \DosDevices\ names.
  void RemoveGlobalDirectory() { no_global_directory_ = true; }

  // Rules of the kernel broken so far: a routine called above its level, a device or pool
  // freed twice.
  void Violation(const std::string &what);

  // Requests: a pending request is completed later by the driver's thread; waits (bounded)
  // until it is.
  void AwaitCompletion(kernel::Request &request);
  void NotifyCompletion();
  // Mapping a read's buffer: the nth mapping from now on (1-based) finds no address space.
  void FailMapping(int nth) { fail_map_at_ = nth ? maps_ + nth : 0; }
  int NextMapping() { return ++maps_; }
  bool MappingFails(int n) const { return n == fail_map_at_; }
  // The calling thread's rights: whether it holds the volume privilege, and the host files (by
  // name) it may not read.
  void SetCallerPrivileged(bool privileged) { caller_privileged_ = privileged; }
  bool CallerPrivileged() const { return caller_privileged_; }
  void DenyCallerRead(const std::string &name) { caller_denied_.insert(name); }
  // The driver's threads. Those still running when the model goes are stopped and joined.
  NtStatus StartThread(kernel::ThreadRoutine routine, void *context, kernel::SystemThread **out);
  void JoinThread(kernel::SystemThread *thread);
  int JoinsStarted() const { return joins_started_.load(); }
  size_t LiveThreads() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return threads_.size();
  }
  // Timed waits (a drive waiting for its server's answer): kReal waits as long as asked,
  // kNever until signalled (a test that expects an answer or a wake, never the bound), kAtOnce
  // not at all (the bound has passed). A hook runs inside the next timed wait, in the waiting
  // thread, before it looks at its event: a server answering while the drive waits.
  enum class TimedWaits { kReal, kNever, kAtOnce };
  void SetTimedWaits(TimedWaits mode) { timed_waits_ = mode; }
  TimedWaits TimedWaitMode() const { return timed_waits_; }
  void OnNextTimedWait(std::function<void()> hook);
  std::function<void()> TakeTimedWaitHook();
  int TimedWaitsStarted() const { return timed_waits_started_.load(); }
  void CountTimedWait() { ++timed_waits_started_; }
  // Whether the calling thread is one the driver started.
  // Cancel-safe queues, known by where their storage lies: in a device's extension or in pool.
  // Freeing that memory (a device's last reference, a pool free) ends the queue.
  void InitQueue(kernel::RequestQueue *queue);
  NtStatus Queue(kernel::RequestQueue *queue, kernel::Request *request);
  kernel::Request *Dequeue(kernel::RequestQueue *queue, const void *file);
  // As IoCancelIrp: a queued request is taken out and completed as cancelled; one not queued
  // yet is marked, and the queue refuses it. Cancel does both of the kernel's steps at once;
  // BeginCancel only clears the request's cancel routine (true when it was set), and
  // FinishCancel later runs the routine, as the kernel may with anything in between.
  void Cancel(kernel::Request &request);
  bool BeginCancel(kernel::Request &request);
  void FinishCancel(kernel::Request &request);
  bool Queued(kernel::Request &request) const;
  void TrackEvent(kernel::WorkEvent *event);
  void ForgetEvent(kernel::WorkEvent *event);
  void TrackLock(kernel::SpinLock *lock);
  void ForgetLock(kernel::SpinLock *lock);

  // Image files: "\??\L:\dir\file" is read from hostDir/dir/file.
  void MapDosDrive(char16_t letter, const std::string &hostDir);
  const std::vector<FileRead> &Reads() const { return reads_; }
  // Runs `hook` inside the next file open, after the open has taken the name's counted string
  // and before it reads the characters; and inside the next file read, before it reads.
  void OnNextFileOpen(std::function<void()> hook) { before_open_ = std::move(hook); }
  void OnNextFileRead(std::function<void()> hook) { before_read_ = std::move(hook); }
  int OpenFiles() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return open_files_;
  }
  // Every open of an image file: its path and whether the caller's access was checked on it.
  struct ImageOpen {
    std::u16string path;
    bool asCaller;
  };
  const std::vector<ImageOpen> &ImageOpens() const { return image_opens_; }
  // Letters whose files lie on this driver's own drives: a link to one of its devices.
  bool OnDriverDrive(const std::u16string &ntPath, kernel::Driver *driver) const;

  // Registry: string values under absolute key paths (case-insensitive names).
  void SetValue(const std::u16string &key, const std::u16string &name, const std::u16string &data);
  // A value of a type other than REG_SZ or REG_BINARY (a number).
  void SetNonStringValue(const std::u16string &key, const std::u16string &name);
  void SetBinaryValue(const std::u16string &key, const std::u16string &name,
                      const std::vector<uint8_t> &bytes);
  // Wine fails a query of a missing value; Windows leaves the string as it was.
  void SetMissingValueFails(bool fails) { missing_value_fails_ = fails; }
  const std::vector<std::u16string> &QueriedValues() const { return queried_; }
  const std::vector<std::u16string> &QueriedBinaryValues() const { return queried_binary_; }

  // Used by the seam operations.
  NtStatus CreateDevice(kernel::Driver *driver, const std::u16string &name, uint32_t extension,
                        uint32_t type, uint32_t characteristics, bool exclusive,
                        kernel::Device **created);
  void DeleteDevice(kernel::Device *device);
  NtStatus CreateLink(const std::u16string &link, const std::u16string &target);
  NtStatus DeleteLink(const std::u16string &link);
  void *Allocate(size_t bytes, uint32_t tag, bool paged = true);
  void Free(void *memory);
  void EnterFileOpen();
  NtStatus OpenFile(const std::u16string &ntPath, bool asCaller, kernel::FileHandle *handle);
  NtStatus FileKind(kernel::FileHandle handle, kernel::Driver *driver, kernel::ImageFileKind *kind);
  NtStatus ReadFile(kernel::FileHandle handle, void *buffer, uint32_t length, int64_t offset,
                    uint32_t *bytesRead);
  void CloseFile(kernel::FileHandle handle);
  NtStatus Query(const std::u16string &key, const std::u16string &name, UString *value);
  NtStatus QueryBinary(const std::u16string &key, const std::u16string &name, void *buffer,
                       uint32_t size, uint32_t *got);
  NtStatus FileSize(kernel::FileHandle handle, uint64_t *size);
  NtStatus FileIdentityOf(kernel::FileHandle handle, FileIdentity *identity);
  // What the driver finds as a host file's identity (its device and inode).
  static FileIdentity IdentityOfHostFile(const std::string &hostPath);

private:
  struct Entry {
    kernel::Device *device = nullptr; // a device, or
    std::u16string target;            // the target of a link
  };
  struct Allocation {
    size_t bytes;
    uint32_t tag;
    bool paged;
  };
  void Destroy(kernel::Device *device);
  // Takes a deleted device no longer referenced out of the list, and frees it once the driver
  // holds no reference either. True when its driver's pending unload may now run.
  bool Settle(kernel::Device *device);
  bool AnyReferenced(kernel::Driver *driver) const;
  void RunPendingUnload(kernel::Driver *driver);
  std::string HostPathOf(const std::u16string &ntPath) const;
  // The name a lookup finds: a name of the session's own, else the global one.
  std::map<std::u16string, Entry>::const_iterator Lookup(const std::u16string &name) const;

  // The model is used from the test's threads and the driver's: every member below is
  // guarded by mutex_ (the hook and the threads excepted).
  KernelModel *previous_; // the kernel of an enclosing test, current again when this one goes
  mutable std::recursive_mutex mutex_;
  std::mutex completion_mutex_;
  std::condition_variable completed_;
  std::set<kernel::SystemThread *> threads_;
  std::atomic<int> joins_started_{0};
  // Retires the queues whose storage lies in [memory, memory + bytes): their memory is gone.
  void RetireQueues(const void *memory, size_t bytes);
  std::map<kernel::RequestQueue *, std::deque<kernel::Request *>> queues_;
  std::vector<kernel::Device *> order_;
  std::vector<ImageOpen> image_opens_;
  std::set<void *> live_files_;
  std::set<kernel::WorkEvent *> events_;
  std::set<kernel::SpinLock *> locks_;
  bool no_global_directory_ = false;
  int maps_ = 0;
  int fail_map_at_ = 0;
  bool caller_privileged_ = true;
  std::atomic<TimedWaits> timed_waits_{TimedWaits::kReal};
  std::atomic<int> timed_waits_started_{0};
  std::function<void()> on_timed_wait_;
  std::set<std::string> caller_denied_;

  std::map<std::u16string, Entry> names_; // keys upper-cased
  std::set<kernel::Device *> devices_;
  std::vector<std::u16string> created_;
  size_t live_devices_ = 0;
  std::map<void *, Allocation> pool_;
  int allocations_ = 0;
  int fail_at_ = 0;
  std::map<char16_t, std::string> dos_drives_;
  std::vector<FileRead> reads_;
  int open_files_ = 0;
  std::function<void()> before_open_;
  std::function<void()> before_read_;
  struct Value {
    enum class Type { kString, kBinary, kOther } type;
    std::u16string data;        // kString
    std::vector<uint8_t> bytes; // kBinary
  };
  // The value `name` of `key`; null when either is missing, with *keyFound telling which.
  const Value *FindValue(const std::u16string &key, const std::u16string &name, bool *keyFound);
  std::map<std::u16string, std::map<std::u16string, Value>> registry_;
  bool missing_value_fails_ = true;
  int faults_ = 0;
  std::vector<std::u16string> queried_;
  std::vector<std::u16string> queried_binary_;
};

std::u16string ToU16(const std::string &ascii);
std::string ToNarrow(const std::u16string &text);
std::u16string Upper(std::u16string text);

} // namespace velmor::test
