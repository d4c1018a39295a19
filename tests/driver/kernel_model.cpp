#include "kernel_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "velmor_driver.h"
#include "velmor_served.h"

namespace velmor::test {
namespace {

KernelModel *current = nullptr;
thread_local kernel::Irql t_irql = kernel::kPassiveLevel;
// Set in the threads the driver starts: they run in the system's context, not a caller's.
thread_local bool t_driverThread = false;
// Spin locks the calling thread holds: it runs at DISPATCH_LEVEL, and must complete no request.
thread_local int t_spinLocksHeld = 0;
// The calling thread completed a SERVE with a question (it handed work to a user-mode server)
// and has not waited with a bound since: a wait without one now could last forever.
thread_local bool t_handedToUserMode = false;

const char *LevelName(kernel::Irql level) {
  switch (level) {
  case kernel::kPassiveLevel:
    return "PASSIVE_LEVEL";
  case kernel::kApcLevel:
    return "APC_LEVEL";
  case kernel::kDispatchLevel:
    return "DISPATCH_LEVEL";
  default:
    return "above DISPATCH_LEVEL";
  }
}

KernelModel &Current() {
  if (!current)
    std::abort();
  return *current;
}

// A routine that may be called only up to `highest`.
void AtMost(kernel::Irql highest, const char *routine) {
  if (t_irql > highest)
    Current().Violation(std::string(routine) + " called at " + LevelName(t_irql) +
                        " (allowed up to " + LevelName(highest) + ")");
}

// A routine that acts on the calling thread's rights: it must run in the caller's own thread,
// at PASSIVE_LEVEL, never in one of the driver's threads, whose rights are the system's.
void InCallerThread(const char *routine) {
  AtMost(kernel::kPassiveLevel, routine);
  if (t_driverThread)
    Current().Violation(std::string(routine) +
                        " called in the driver's own thread: it would check the system's rights");
}

std::u16string Text(const UString *s) {
  return std::u16string(s->Buffer, s->Length / sizeof(char16_t));
}

// An open image file: a host file, or something else an NT path may name.
struct HostFile {
  int fd; // -1 for what is not a host file
  std::string hostPath;
  kernel::ImageFileKind kind;
};

// Thrown into a thread of the driver that waits for work when the model goes, so that it ends.
struct ModelStopping {};

} // namespace

std::u16string ToU16(const std::string &ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::string ToNarrow(const std::u16string &text) {
  std::string out;
  for (char16_t c : text)
    out += c < 0x80 ? char(c) : '?';
  return out;
}

std::u16string Upper(std::u16string text) {
  for (char16_t &c : text)
    if (c >= u'a' && c <= u'z')
      c = char16_t(c - u'a' + u'A');
  return text;
}

kernel::Irql ThreadIrql() { return t_irql; }
void SetThreadIrql(kernel::Irql level) { t_irql = level; }

IrqlScope::IrqlScope(kernel::Irql level) : previous_(t_irql) { t_irql = level; }
IrqlScope::~IrqlScope() { t_irql = previous_; }

KernelModel::KernelModel() : previous_(current) { current = this; }

KernelModel::~KernelModel() {
  // Threads the driver did not end (a test that did not unload it) wait for work for as long
  // as the system runs; the model is the system, and stops them.
  std::set<kernel::SystemThread *> running;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    running.swap(threads_);
    for (kernel::WorkEvent *event : events_) {
      std::lock_guard<std::mutex> eventLock(event->mutex);
      event->stopping = true;
      event->changed.notify_all();
    }
  }
  for (kernel::SystemThread *thread : running) {
    thread->thread.join();
    delete thread;
  }
  for (kernel::WorkEvent *event : events_)
    delete event;
  for (kernel::SpinLock *lock : locks_)
    delete lock;
  for (kernel::Device *device : devices_)
    delete device;
  for (auto &[memory, allocation] : pool_)
    std::free(memory);
  for (void *file : live_files_) {
    auto *host = static_cast<HostFile *>(file);
    if (host->fd >= 0)
      ::close(host->fd);
    delete host;
  }
  current = previous_;
}

std::map<std::u16string, KernelModel::Entry>::const_iterator
KernelModel::Lookup(const std::u16string &name) const {
  static const std::u16string dosDevices = u"\\DOSDEVICES\\";
  static const std::u16string global = u"\\DOSDEVICES\\GLOBAL\\";
  const std::u16string key = Upper(name);
  auto it = names_.find(key);
  if (it == names_.end() && key.compare(0, dosDevices.size(), dosDevices) == 0 &&
      key.compare(0, global.size(), global) != 0)
    it = names_.find(global + key.substr(dosDevices.size()));
  return it;
}

kernel::Device *KernelModel::FindDevice(const std::u16string &name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = names_.find(Upper(name));
  return it == names_.end() ? nullptr : it->second.device;
}

kernel::Device *KernelModel::Resolve(const std::u16string &link) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = Lookup(link);
  if (it == names_.end() || it->second.device)
    return nullptr;
  return FindDevice(it->second.target);
}

bool KernelModel::HasName(const std::u16string &name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return Lookup(name) != names_.end();
}

void KernelModel::HoldName(const std::u16string &name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  names_[Upper(name)] = Entry{nullptr, u"\\Device\\Elsewhere"};
}

kernel::Device *KernelModel::NextDevice(kernel::Driver *driver, kernel::Device *after) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  bool past = after == nullptr;
  for (kernel::Device *device : order_) {
    if (past && device->driver == driver)
      return device;
    if (device == after)
      past = true;
  }
  return nullptr;
}

kernel::Device *KernelModel::Open(const std::u16string &name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  kernel::Device *device = FindDevice(name);
  if (!device)
    device = Resolve(name);
  if (device && device->driver->unloadPending)
    return nullptr; // the I/O manager refuses opens of a driver being unloaded
  if (device)
    ++device->openHandles;
  return device;
}

void KernelModel::Close(kernel::Device *device) {
  kernel::Driver *driver = device->driver;
  bool unload = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    --device->openHandles;
    unload = Settle(device);
  }
  if (unload)
    RunPendingUnload(driver);
}

bool KernelModel::AnyReferenced(kernel::Driver *driver) const {
  for (kernel::Device *device : order_)
    if (device->driver == driver && device->openHandles > 0)
      return true;
  return false;
}

bool KernelModel::Settle(kernel::Device *device) {
  kernel::Driver *driver = device->driver;
  if (device->deleted && device->listed && device->openHandles == 0) {
    device->listed = false;
    order_.erase(std::find(order_.begin(), order_.end(), device));
  }
  if (!device->listed && device->objectReferences == 0)
    Destroy(device);
  return driver->unloadPending && !driver->unloaded && !AnyReferenced(driver);
}

bool KernelModel::StopDriver(kernel::Driver *driver) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (AnyReferenced(driver)) {
      driver->unloadPending = true;
      return false;
    }
    driver->unloadPending = true;
  }
  RunPendingUnload(driver);
  return true;
}

void KernelModel::RunPendingUnload(kernel::Driver *driver) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (driver->unloaded)
      return;
    driver->unloaded = true;
  }
  if (driver->unload)
    driver->unload(driver);
}

void KernelModel::ReferenceDevice(kernel::Device *device) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!devices_.count(device))
    Violation("a device referenced after its memory was freed");
  ++device->objectReferences;
}

void KernelModel::ReleaseDevice(kernel::Device *device) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!devices_.count(device) || device->objectReferences == 0) {
    Violation("a device released more often than referenced");
    return;
  }
  --device->objectReferences;
  Settle(device);
}

void KernelModel::Violation(const std::string &what) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++faults_;
  }
  ADD_FAILURE() << what;
}

void KernelModel::AwaitCompletion(kernel::Request &request) {
  std::unique_lock<std::mutex> lock(completion_mutex_);
  if (!completed_.wait_for(lock, std::chrono::seconds(20),
                           [&] { return request.completions.load() != 0; }))
    Violation("a pending request was never completed");
}

void KernelModel::NotifyCompletion() {
  std::lock_guard<std::mutex> lock(completion_mutex_);
  completed_.notify_all();
}

NtStatus KernelModel::StartThread(kernel::ThreadRoutine routine, void *context,
                                  kernel::SystemThread **out) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto *thread = new kernel::SystemThread;
  thread->thread = std::thread([routine, context] {
    t_driverThread = true;
    try {
      routine(context);
    } catch (const ModelStopping &) {
    }
  });
  thread->id = thread->thread.get_id();
  threads_.insert(thread);
  *out = thread;
  return status::kSuccess;
}

void KernelModel::JoinThread(kernel::SystemThread *thread) {
  AtMost(kernel::kPassiveLevel, "KeWaitForSingleObject(thread)");
  ++joins_started_;
  if (std::this_thread::get_id() == thread->id) {
    Violation("a thread waits for its own end");
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!threads_.erase(thread)) {
      Violation("a thread waited for twice");
      return;
    }
  }
  thread->thread.join();
  delete thread;
}

void KernelModel::OnNextTimedWait(std::function<void()> hook) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  on_timed_wait_ = std::move(hook);
}

std::function<void()> KernelModel::TakeTimedWaitHook() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::function<void()> hook;
  hook.swap(on_timed_wait_);
  return hook;
}

void KernelModel::InitQueue(kernel::RequestQueue *queue) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  queues_[queue].clear();
}

void KernelModel::RetireQueues(const void *memory, size_t bytes) {
  const auto *begin = static_cast<const uint8_t *>(memory);
  for (auto it = queues_.begin(); it != queues_.end();) {
    const auto *at = reinterpret_cast<const uint8_t *>(it->first);
    if (at >= begin && at < begin + bytes) {
      if (!it->second.empty())
        Violation("a queue's memory freed with requests in it: they are never completed");
      it = queues_.erase(it);
    } else {
      ++it;
    }
  }
}

NtStatus KernelModel::Queue(kernel::RequestQueue *queue, kernel::Request *request) {
  AtMost(kernel::kDispatchLevel, "IoCsqInsertIrp");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = queues_.find(queue);
  if (it == queues_.end()) {
    Violation("a request queued in memory that holds no queue (freed, or never set up)");
    return status::kDeviceNotReady;
  }
  request->pending = true; // IoCsqInsertIrp marks it pending
  if (request->cancelRequested)
    return status::kCancelled;
  request->cancelRoutineSet = true;
  request->queuedIn = queue;
  it->second.push_back(request);
  return status::kPending;
}

kernel::Request *KernelModel::Dequeue(kernel::RequestQueue *queue, const void *file) {
  AtMost(kernel::kDispatchLevel, "IoCsqRemoveNextIrp");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto found = queues_.find(queue);
  if (found == queues_.end()) {
    Violation("a queue used after its memory was freed");
    return nullptr;
  }
  auto &requests = found->second;
  for (auto it = requests.begin(); it != requests.end(); ++it)
    // A request whose cancel routine is cleared belongs to its cancel.
    if ((!file || (*it)->file == file) && (*it)->cancelRoutineSet) {
      kernel::Request *request = *it;
      request->cancelRoutineSet = false;
      requests.erase(it);
      return request;
    }
  return nullptr;
}

void KernelModel::Cancel(kernel::Request &request) {
  if (BeginCancel(request))
    FinishCancel(request);
}

bool KernelModel::BeginCancel(kernel::Request &request) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  request.cancelRequested = true;
  if (!request.cancelRoutineSet)
    return false;
  request.cancelRoutineSet = false;
  return true;
}

void KernelModel::FinishCancel(kernel::Request &request) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto found = queues_.find(request.queuedIn);
    if (found == queues_.end()) {
      Violation("a cancel routine took the lock of a queue whose memory was freed");
      return;
    }
    auto &requests = found->second;
    requests.erase(std::find(requests.begin(), requests.end(), &request));
  }
  kernel::CompleteRequest(&request, status::kCancelled, 0);
}

bool KernelModel::Queued(kernel::Request &request) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto &[queue, requests] : queues_)
    for (kernel::Request *queued : requests)
      if (queued == &request)
        return true;
  return false;
}

void KernelModel::TrackEvent(kernel::WorkEvent *event) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  events_.insert(event);
}

void KernelModel::ForgetEvent(kernel::WorkEvent *event) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  events_.erase(event);
}

void KernelModel::TrackLock(kernel::SpinLock *spinLock) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  locks_.insert(spinLock);
}

void KernelModel::ForgetLock(kernel::SpinLock *spinLock) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  locks_.erase(spinLock);
}

bool KernelModel::AllTagged(uint32_t tag) const {
  for (auto &[memory, allocation] : pool_)
    if (allocation.tag != tag)
      return false;
  return true;
}

void KernelModel::MapDosDrive(char16_t letter, const std::string &hostDir) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  dos_drives_[letter] = hostDir;
}

void KernelModel::SetValue(const std::u16string &key, const std::u16string &name,
                           const std::u16string &data) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  registry_[Upper(key)][Upper(name)] = Value{Value::Type::kString, data, {}};
}

void KernelModel::SetNonStringValue(const std::u16string &key, const std::u16string &name) {
  registry_[Upper(key)][Upper(name)] = Value{Value::Type::kOther, u"\x4141\x4141\x4141\x4141", {}};
}

void KernelModel::SetBinaryValue(const std::u16string &key, const std::u16string &name,
                                 const std::vector<uint8_t> &bytes) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  registry_[Upper(key)][Upper(name)] = Value{Value::Type::kBinary, {}, bytes};
}

NtStatus KernelModel::CreateDevice(kernel::Driver *driver, const std::u16string &name,
                                   uint32_t extension, uint32_t type, uint32_t characteristics,
                                   bool exclusive, kernel::Device **created) {
  AtMost(kernel::kPassiveLevel, "IoCreateDevice");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  *created = nullptr;
  if (HasName(name))
    return status::kObjectNameCollision;
  auto *device = new kernel::Device;
  device->driver = driver;
  device->name = name;
  device->type = type;
  device->characteristics = characteristics;
  device->exclusive = exclusive;
  device->extension.reset(new uint8_t[extension]());
  device->extensionSize = extension;
  devices_.insert(device);
  order_.push_back(device);
  ++live_devices_;
  names_[Upper(name)] = Entry{device, {}};
  created_.push_back(name);
  *created = device;
  return status::kSuccess;
}

void KernelModel::DeleteDevice(kernel::Device *device) {
  AtMost(kernel::kPassiveLevel, "IoDeleteDevice");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!devices_.count(device) || device->deleted) {
    Violation("device deleted twice");
    return;
  }
  // The name goes at once (the object is made temporary); the device stays in the driver's
  // list, and its memory, while anything references it.
  names_.erase(Upper(device->name));
  device->deleted = true;
  --live_devices_;
  Settle(device);
}

void KernelModel::Destroy(kernel::Device *device) {
  RetireQueues(device->extension.get(), device->extensionSize);
  devices_.erase(device);
  delete device;
}

NtStatus KernelModel::CreateLink(const std::u16string &link, const std::u16string &target) {
  AtMost(kernel::kPassiveLevel, "IoCreateSymbolicLink");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  static const std::u16string global = u"\\DOSDEVICES\\GLOBAL\\";
  const std::u16string key = Upper(link);
  if (no_global_directory_ && key.compare(0, global.size(), global) == 0)
    return status::kObjectPathNotFound;
  if (names_.count(key))
    return status::kObjectNameCollision;
  auto device = names_.find(Upper(target));
  if (device != names_.end() && device->second.device &&
      device->second.device->security == kernel::DeviceSecurity::kDefault)
    Violation("a link to a device that carries the default security: every user may open it");
  names_[key] = Entry{nullptr, target};
  return status::kSuccess;
}

NtStatus KernelModel::DeleteLink(const std::u16string &link) {
  AtMost(kernel::kPassiveLevel, "IoDeleteSymbolicLink");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = names_.find(Upper(link));
  if (it == names_.end() || it->second.device)
    return status::kObjectNameNotFound;
  names_.erase(it);
  return status::kSuccess;
}

void *KernelModel::Allocate(size_t bytes, uint32_t tag, bool paged) {
  if (paged)
    AtMost(kernel::kApcLevel, "ExAllocatePoolWithTag(PagedPool)");
  else
    AtMost(kernel::kDispatchLevel, "ExAllocatePoolWithTag(NonPagedPool)");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (++allocations_ == fail_at_)
    return nullptr;
  void *memory = std::malloc(bytes);
  pool_[memory] = Allocation{bytes, tag, paged};
  return memory;
}

void KernelModel::Free(void *memory) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = pool_.find(memory);
  if (it == pool_.end()) {
    Violation("pool memory freed twice or never allocated");
    return;
  }
  AtMost(it->second.paged ? kernel::kApcLevel : kernel::kDispatchLevel, "ExFreePool");
  RetireQueues(memory, it->second.bytes);
  pool_.erase(it);
  std::free(memory);
}

void KernelModel::EnterFileOpen() {
  std::function<void()> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    hook.swap(before_open_);
  }
  if (hook)
    hook();
}

std::string KernelModel::HostPathOf(const std::u16string &ntPath) const {
  // "\??\L:\rest": only drive-letter paths of mapped drives exist.
  if (ntPath.size() < 7 || ntPath.compare(0, 4, u"\\??\\") != 0 || ntPath[5] != u':' ||
      ntPath[6] != u'\\')
    return {};
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto drive = dos_drives_.find(Upper(ntPath.substr(4, 1))[0]);
  if (drive == dos_drives_.end())
    return {};
  std::string hostPath = drive->second;
  for (char16_t c : ntPath.substr(6))
    hostPath += c == u'\\' ? '/' : char(c);
  return hostPath;
}

bool KernelModel::OnDriverDrive(const std::u16string &ntPath, kernel::Driver *driver) const {
  if (ntPath.size() < 7 || ntPath.compare(0, 4, u"\\??\\") != 0 || ntPath[5] != u':')
    return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  kernel::Device *device = Resolve(u"\\DosDevices\\" + ntPath.substr(4, 2));
  return device && device->driver == driver;
}

NtStatus KernelModel::OpenFile(const std::u16string &ntPath, bool asCaller,
                               kernel::FileHandle *handle) {
  // Driver Verifier's IrqlZwPassive: the Zw file routines run at PASSIVE_LEVEL only.
  AtMost(kernel::kPassiveLevel, "ZwCreateFile");
  if (asCaller)
    InCallerThread("ZwCreateFile(OBJ_FORCE_ACCESS_CHECK)");
  // A drive's files are opened once, when it is made; a drive's thread that opens one by name
  // would read whatever the name means now, with the system's rights.
  if (t_driverThread)
    Violation("an image file opened by name in a drive's thread");
  *handle = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    image_opens_.push_back(ImageOpen{ntPath, asCaller});
  }
  const std::u16string upper = Upper(ntPath);
  auto special = [&](kernel::ImageFileKind kind) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto *file = new HostFile{-1, ToNarrow(ntPath), kind};
    live_files_.insert(file);
    ++open_files_;
    *handle = file;
    return status::kSuccess;
  };
  // What else a path may name: a pipe, a share, a volume opened whole, a file on one of the
  // driver's own drives (any such path opens; the kinds tell them apart).
  if (upper.compare(0, 9, u"\\??\\PIPE\\") == 0)
    return special({0x11, false, true, false});
  if (upper.compare(0, 8, u"\\??\\UNC\\") == 0)
    return special({kFileDeviceDisk, true, true, false});
  if (upper.size() == 6 && upper[5] == u':')
    return special({kFileDeviceDisk, false, false, false});
  bool onOurDrive = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (kernel::Device *device : order_)
      onOurDrive = onOurDrive || OnDriverDrive(ntPath, device->driver);
  }
  if (onOurDrive)
    return special({kFileDeviceCdRom, false, true, true});
  const std::string hostPath = HostPathOf(ntPath);
  if (hostPath.empty())
    return status::kObjectNameNotFound;
  struct stat info {};
  if (::stat(hostPath.c_str(), &info) != 0)
    return status::kObjectNameNotFound;
  if (S_ISDIR(info.st_mode))
    return status::kFileIsADirectory;
  if (asCaller) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (caller_denied_.count(hostPath.substr(hostPath.find_last_of('/') + 1)))
      return status::kAccessDenied;
  }
  int fd = ::open(hostPath.c_str(), O_RDONLY);
  if (fd < 0)
    return status::kObjectNameNotFound;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++open_files_;
  auto *file = new HostFile{fd, hostPath, {kFileDeviceDisk, false, true, false}};
  live_files_.insert(file);
  *handle = file;
  return status::kSuccess;
}

NtStatus KernelModel::FileKind(kernel::FileHandle handle, kernel::Driver *,
                               kernel::ImageFileKind *kind) {
  AtMost(kernel::kPassiveLevel, "ZwQueryVolumeInformationFile");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!live_files_.count(handle)) {
    Violation("a file handle used after it was closed");
    return status::kInvalidParameter;
  }
  *kind = static_cast<HostFile *>(handle)->kind;
  return status::kSuccess;
}

NtStatus KernelModel::ReadFile(kernel::FileHandle handle, void *buffer, uint32_t length,
                               int64_t offset, uint32_t *bytesRead) {
  AtMost(kernel::kPassiveLevel, "ZwReadFile");
  *bytesRead = 0;
  auto *file = static_cast<HostFile *>(handle);
  std::function<void()> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    hook.swap(before_read_);
  }
  if (hook)
    hook();
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!live_files_.count(handle)) {
      Violation("a file handle used after it was closed");
      return status::kInvalidParameter;
    }
    reads_.push_back(FileRead{file->hostPath, offset, length});
  }
  if (file->fd < 0)
    return status::kDeviceNotReady;
  struct stat info {};
  ::fstat(file->fd, &info);
  if (offset < 0)
    return status::kInvalidParameter;
  if (offset >= info.st_size)
    return status::kEndOfFile;
  // A read past the end fills only the bytes that exist, and leaves the rest of the buffer
  // as it was.
  const ssize_t got = length ? ::pread(file->fd, buffer, length, offset) : 0;
  if (got < 0)
    return status::kDeviceNotReady;
  *bytesRead = uint32_t(got);
  return status::kSuccess;
}

void KernelModel::CloseFile(kernel::FileHandle handle) {
  AtMost(kernel::kPassiveLevel, "ZwClose");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!live_files_.erase(handle)) {
    Violation("a file handle closed twice");
    return;
  }
  auto *file = static_cast<HostFile *>(handle);
  if (file->fd >= 0)
    ::close(file->fd);
  --open_files_;
  delete file;
}

const KernelModel::Value *KernelModel::FindValue(const std::u16string &key,
                                                 const std::u16string &name, bool *keyFound) {
  auto values = registry_.find(Upper(key));
  *keyFound = values != registry_.end();
  if (!*keyFound)
    return nullptr;
  auto found = values->second.find(Upper(name));
  return found == values->second.end() ? nullptr : &found->second;
}

NtStatus KernelModel::Query(const std::u16string &key, const std::u16string &name, UString *value) {
  AtMost(kernel::kPassiveLevel, "RtlQueryRegistryValues");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  queried_.push_back(name);
  bool keyFound = false;
  const Value *found = FindValue(key, name, &keyFound);
  if (!found)
    return !keyFound              ? status::kObjectNameNotFound
           : missing_value_fails_ ? status::kInvalidParameter
                                  : status::kSuccess;
  if (found->type != Value::Type::kString)
    return status::kObjectTypeMismatch;
  const std::u16string &data = found->data;
  const size_t bytes = (data.size() + 1) * sizeof(char16_t); // with its terminating zero
  if (bytes > value->MaximumLength)
    return status::kBufferTooSmall;
  std::memcpy(value->Buffer, data.c_str(), bytes);
  value->Length = uint16_t(data.size() * sizeof(char16_t));
  return status::kSuccess;
}

NtStatus KernelModel::QueryBinary(const std::u16string &key, const std::u16string &name,
                                  void *buffer, uint32_t size, uint32_t *got) {
  AtMost(kernel::kPassiveLevel, "ZwQueryValueKey");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  queried_binary_.push_back(name);
  *got = 0;
  bool keyFound = false;
  const Value *found = FindValue(key, name, &keyFound);
  if (!found)
    return status::kObjectNameNotFound;
  if (found->type != Value::Type::kBinary)
    return status::kObjectTypeMismatch;
  *got = uint32_t(found->bytes.size());
  if (found->bytes.size() != size)
    return status::kInvalidParameter;
  std::memcpy(buffer, found->bytes.data(), size);
  return status::kSuccess;
}

NtStatus KernelModel::FileSize(kernel::FileHandle handle, uint64_t *size) {
  AtMost(kernel::kPassiveLevel, "ZwQueryInformationFile");
  struct stat info {};
  const int fd = static_cast<HostFile *>(handle)->fd;
  if (fd < 0 || ::fstat(fd, &info) != 0)
    return status::kDeviceNotReady;
  *size = uint64_t(info.st_size);
  return status::kSuccess;
}

NtStatus KernelModel::FileIdentityOf(kernel::FileHandle handle, FileIdentity *identity) {
  AtMost(kernel::kPassiveLevel, "ZwQueryInformationFile");
  struct stat info {};
  const int fd = static_cast<HostFile *>(handle)->fd;
  if (fd < 0 || ::fstat(fd, &info) != 0)
    return status::kInvalidParameter;
  *identity = FileIdentity{};
  identity->volumeSerialLow = uint32_t(info.st_dev);
  identity->volumeSerialHigh = uint32_t(uint64_t(info.st_dev) >> 32);
  std::memcpy(identity->fileId, &info.st_ino, sizeof(info.st_ino));
  return status::kSuccess;
}

FileIdentity KernelModel::IdentityOfHostFile(const std::string &hostPath) {
  struct stat info {};
  FileIdentity identity{};
  if (::stat(hostPath.c_str(), &info) == 0) {
    identity.volumeSerialLow = uint32_t(info.st_dev);
    identity.volumeSerialHigh = uint32_t(uint64_t(info.st_dev) >> 32);
    std::memcpy(identity.fileId, &info.st_ino, sizeof(info.st_ino));
  }
  return identity;
}

} // namespace velmor::test

// ---- The seam, routed to the current model ----------------------------------------------------
namespace velmor::kernel {

using test::Current;

NtStatus CreateDevice(Driver *driver, const UString *name, uint32_t extensionSize,
                      uint32_t deviceType, uint32_t characteristics, bool exclusive,
                      Device **created) {
  return Current().CreateDevice(driver, test::Text(name), extensionSize, deviceType,
                                characteristics, exclusive, created);
}
void DeleteDevice(Device *device) { Current().DeleteDevice(device); }
void *DeviceExtension(Device *device) { return device->extension.get(); }
Driver *DeviceDriver(Device *device) { return device->driver; }
void SetDeviceFlags(Device *device, uint32_t flags) { device->flags |= flags; }
void ClearDeviceFlags(Device *device, uint32_t flags) { device->flags &= ~flags; }
void SetAlignmentRequirement(Device *device, uint32_t alignment) { device->alignment = alignment; }
NtStatus CreateSymbolicLink(const UString *link, const UString *target) {
  return Current().CreateLink(test::Text(link), test::Text(target));
}
NtStatus DeleteSymbolicLink(const UString *link) { return Current().DeleteLink(test::Text(link)); }
void InstallDispatchHandlers(Driver *driver) {
  driver->handlersInstalled = true;
  driver->unload = VelmorUnloadDriver;
}
void ReferenceDevice(Device *device) {
  test::AtMost(kDispatchLevel, "ObReferenceObject");
  Current().ReferenceDevice(device);
}
void ReleaseDevice(Device *device) {
  test::AtMost(kDispatchLevel, "ObDereferenceObject");
  Current().ReleaseDevice(device);
}
bool DeviceReferenced(Device *device) { return device->openHandles > 0; }
Device *NextDriverDevice(Driver *driver, Device *device) {
  return Current().NextDevice(driver, device);
}
NtStatus SetDeviceSecurity(Device *device, uint32_t everyoneAccess) {
  test::AtMost(kPassiveLevel, "ObSetSecurityObjectByPointer");
  device->security =
      everyoneAccess ? DeviceSecurity::kEveryoneToo : DeviceSecurity::kAdministratorsOnly;
  device->everyoneAccess = everyoneAccess;
  return status::kSuccess;
}

uint32_t ControlCode(Request *r) { return r->code; }
uint32_t InputLength(Request *r) { return r->inputLength; }
uint32_t OutputLength(Request *r) { return r->outputLength; }
void *SystemBuffer(Request *r) { return r->systemBuffer; }
void *KernelCallerInput(Request *r) { return r->type3Input; }
int64_t ReadByteOffset(Request *r) { return r->byteOffset; }
uint32_t ReadLength(Request *r) { return r->length; }
void *MapReadBuffer(Request *r, uint32_t *bytes) {
  test::AtMost(kDispatchLevel, "MmGetSystemAddressForMdlSafe");
  *bytes = 0;
  if (!r->readBuffer)
    return nullptr;
  *bytes = r->mdlBytes != UINT32_MAX ? r->mdlBytes : r->code ? r->outputLength : r->length;
  return Current().MappingFails(Current().NextMapping()) ? nullptr : r->readBuffer;
}
void CompleteRequest(Request *r, NtStatus status, uint32_t information) {
  test::AtMost(kDispatchLevel, "IoCompleteRequest");
  // The sender's completion routine runs inside the completion and may send the request (or
  // another) straight back to the drive, which would spin on the lock held here.
  if (test::t_spinLocksHeld > 0)
    Current().Violation("a request completed while a spin lock is held");
  if (r->code == IOCTL_VELMOR_SERVE && IsSuccess(status) && status != status::kPending)
    test::t_handedToUserMode = true;
  r->status = status;
  r->information = information;
  ++r->completions;
  Current().NotifyCompletion();
}
void **RequestContext(Request *r) { return r->driverContext; }
const void *RequestFile(Request *r) { return r->file; }
bool FromUserMode(Request *r) { return r->fromUserMode; }
bool OverridesVerify(Request *r) { return r->overrideVerify; }
bool CallerMayManageVolumes() {
  test::InCallerThread("SeSinglePrivilegeCheck");
  return Current().CallerPrivileged();
}

void InitRequestQueue(RequestQueue *queue) { Current().InitQueue(queue); }
NtStatus QueueRequest(RequestQueue *queue, Request *request) {
  return Current().Queue(queue, request);
}
Request *DequeueRequest(RequestQueue *queue, const void *file) {
  return Current().Dequeue(queue, file);
}

SpinLock *NewSpinLock() {
  auto *lock = new SpinLock;
  Current().TrackLock(lock);
  return lock;
}
void FreeSpinLock(SpinLock *lock) {
  Current().ForgetLock(lock);
  delete lock;
}
Irql AcquireSpinLock(SpinLock *lock) {
  test::AtMost(kDispatchLevel, "KeAcquireSpinLock");
  lock->mutex.lock();
  ++test::t_spinLocksHeld;
  const Irql previous = test::ThreadIrql();
  test::SetThreadIrql(kDispatchLevel);
  return previous;
}
void ReleaseSpinLock(SpinLock *lock, Irql previous) {
  test::SetThreadIrql(previous);
  --test::t_spinLocksHeld;
  lock->mutex.unlock();
}
WorkEvent *NewWorkEvent() {
  auto *event = new WorkEvent;
  Current().TrackEvent(event);
  return event;
}
void FreeWorkEvent(WorkEvent *event) {
  Current().ForgetEvent(event);
  delete event;
}
void SignalWork(WorkEvent *event) {
  test::AtMost(kDispatchLevel, "KeSetEvent");
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = true;
  event->changed.notify_one();
}
void WaitForWork(WorkEvent *event) {
  test::AtMost(kApcLevel, "KeWaitForSingleObject");
  // A user-mode server may never answer: what waits on one must have a bound.
  if (test::t_handedToUserMode)
    Current().Violation("a wait without a bound after handing a question to a user-mode server");
  std::unique_lock<std::mutex> lock(event->mutex);
  event->changed.wait(lock, [&] { return event->signalled || event->stopping; });
  if (event->stopping)
    throw test::ModelStopping{}; // the model goes: the thread ends here
  event->signalled = false;      // an auto-resetting event
}
bool WaitForWorkFor(WorkEvent *event, uint32_t milliseconds) {
  test::AtMost(kApcLevel, "KeWaitForSingleObject(timeout)");
  if (milliseconds > kServedAnswerMilliseconds)
    Current().Violation(
        "a timed wait longer than a served read's bound: " + std::to_string(milliseconds) + " ms");
  test::t_handedToUserMode = false;
  Current().CountTimedWait();
  // The hook plays the server, in this thread: what it completes is not this thread's doing.
  if (std::function<void()> hook = Current().TakeTimedWaitHook()) {
    hook();
    test::t_handedToUserMode = false;
  }
  std::unique_lock<std::mutex> lock(event->mutex);
  const auto ready = [&] { return event->signalled || event->stopping; };
  switch (Current().TimedWaitMode()) {
  case test::KernelModel::TimedWaits::kReal:
    event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    break;
  case test::KernelModel::TimedWaits::kNever:
    event->changed.wait(lock, ready);
    break;
  case test::KernelModel::TimedWaits::kAtOnce:
    break;
  }
  if (event->stopping)
    throw test::ModelStopping{};
  const bool signalled = event->signalled;
  event->signalled = false;
  return signalled;
}
NtStatus StartSystemThread(ThreadRoutine routine, void *context, SystemThread **thread) {
  test::AtMost(kPassiveLevel, "PsCreateSystemThread");
  return Current().StartThread(routine, context, thread);
}
void JoinSystemThread(SystemThread *thread) { Current().JoinThread(thread); }

NtStatus OpenImageFile(const UString *ntPath, bool asCaller, FileHandle *handle) {
  // As the kernel does, the counted string is taken first and its characters read later.
  const UString name = *ntPath;
  Current().EnterFileOpen();
  return Current().OpenFile(test::Text(&name), asCaller, handle);
}
NtStatus QueryImageFileKind(FileHandle handle, Driver *driver, ImageFileKind *kind) {
  return Current().FileKind(handle, driver, kind);
}
NtStatus ReadFileAt(FileHandle handle, void *buffer, uint32_t length, int64_t offset,
                    uint32_t *bytesRead) {
  return Current().ReadFile(handle, buffer, length, offset, bytesRead);
}
void CloseFile(FileHandle handle) { Current().CloseFile(handle); }
NtStatus QueryFileIdentity(FileHandle handle, FileIdentity *identity) {
  return Current().FileIdentityOf(handle, identity);
}
NtStatus QueryFileSize(FileHandle handle, uint64_t *size) {
  return Current().FileSize(handle, size);
}

void *AllocatePaged(size_t bytes, uint32_t tag) { return Current().Allocate(bytes, tag); }
void *AllocateNonPaged(size_t bytes, uint32_t tag) { return Current().Allocate(bytes, tag, false); }
void FreePool(void *memory) { Current().Free(memory); }

// Counted strings with the kernel's rules: an append that does not fit fails and changes
// nothing; a terminating zero is added when there is room for it.
void InitString(UString *s, const char16_t *text) {
  size_t units = 0;
  while (text[units])
    ++units;
  s->Buffer = const_cast<char16_t *>(text);
  s->Length = uint16_t(units * sizeof(char16_t));
  s->MaximumLength = uint16_t(s->Length + sizeof(char16_t));
}

NtStatus AppendString(UString *s, const UString *tail) {
  test::AtMost(kApcLevel, "RtlAppendUnicodeStringToString(paged store)");
  if (s->Length + tail->Length > s->MaximumLength)
    return status::kBufferTooSmall;
  if (tail->Length)
    std::memmove(s->Buffer + s->Length / 2, tail->Buffer, tail->Length);
  s->Length = uint16_t(s->Length + tail->Length);
  if (s->Length + sizeof(char16_t) <= s->MaximumLength)
    s->Buffer[s->Length / 2] = 0;
  return status::kSuccess;
}

NtStatus AppendText(UString *s, const char16_t *text) {
  UString tail;
  InitString(&tail, text);
  return AppendString(s, &tail);
}

NtStatus IntegerToString(uint32_t value, uint32_t base, UString *s) {
  test::AtMost(kPassiveLevel, "RtlIntegerToUnicodeString");
  std::u16string digits;
  do {
    digits.insert(digits.begin(), u"0123456789ABCDEF"[value % base]);
    value /= base;
  } while (value);
  if ((digits.size() + 1) * sizeof(char16_t) > s->MaximumLength)
    return status::kBufferTooSmall;
  std::memcpy(s->Buffer, digits.c_str(), (digits.size() + 1) * sizeof(char16_t));
  s->Length = uint16_t(digits.size() * sizeof(char16_t));
  return status::kSuccess;
}

int32_t CompareStrings(const UString *a, const UString *b, bool caseInsensitive) {
  test::AtMost(kPassiveLevel, "RtlCompareUnicodeString");
  std::u16string x = test::Text(a), y = test::Text(b);
  if (caseInsensitive) {
    x = test::Upper(x);
    y = test::Upper(y);
  }
  return x.compare(y);
}

NtStatus QueryRegistryString(const char16_t *keyPath, const char16_t *valueName, UString *value) {
  return Current().Query(keyPath, valueName, value);
}

NtStatus QueryRegistryBinary(const char16_t *keyPath, const char16_t *valueName, void *buffer,
                             uint32_t size, uint32_t *got) {
  return Current().QueryBinary(keyPath, valueName, buffer, size, got);
}

} // namespace velmor::kernel
