// The kernel side of kernel_seam.h: each operation maps onto the NT kernel routine of the same
// purpose. Nothing here decides anything; the request logic does.
#include "kernel_seam.h"
#include "nt_headers.h"
#include "velmor_driver.h"

namespace velmor::kernel {

POOL_TYPE g_nonPagedPool = NonPagedPool;
ULONG g_noExecuteMapping = 0;
bool g_hostedByWine = false;

namespace {

static_assert(sizeof(UString) == sizeof(UNICODE_STRING) &&
                  offsetof(UString, Buffer) == offsetof(UNICODE_STRING, Buffer),
              "UString mirrors UNICODE_STRING");
static_assert(sizeof(wchar_t) == sizeof(char16_t), "WCHAR is 16 bits");

PUNICODE_STRING Nt(UString *s) { return reinterpret_cast<PUNICODE_STRING>(s); }
PCUNICODE_STRING Nt(const UString *s) { return reinterpret_cast<PCUNICODE_STRING>(s); }
PCWSTR Nt(const char16_t *s) { return reinterpret_cast<PCWSTR>(s); }
PDEVICE_OBJECT Nt(Device *d) { return reinterpret_cast<PDEVICE_OBJECT>(d); }
PIRP Nt(Request *r) { return reinterpret_cast<PIRP>(r); }
PIO_STACK_LOCATION Stack(Request *r) { return IoGetCurrentIrpStackLocation(Nt(r)); }

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  return VelmorDispatchCreate(reinterpret_cast<Device *>(device), reinterpret_cast<Request *>(irp));
}
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  return VelmorDispatchClose(reinterpret_cast<Device *>(device), reinterpret_cast<Request *>(irp));
}
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  return VelmorDispatchCleanup(reinterpret_cast<Device *>(device),
                               reinterpret_cast<Request *>(irp));
}
VOID NTAPI Unload(PDRIVER_OBJECT driver) { VelmorUnloadDriver(reinterpret_cast<Driver *>(driver)); }
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
  return VelmorDispatchRead(reinterpret_cast<Device *>(device), reinterpret_cast<Request *>(irp));
}
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return VelmorDispatchDeviceControl(reinterpret_cast<Device *>(device),
                                     reinterpret_cast<Request *>(irp));
}

} // namespace

NtStatus CreateDevice(Driver *driver, const UString *name, uint32_t extensionSize,
                      uint32_t deviceType, uint32_t characteristics, bool exclusive,
                      Device **created) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS s = IoCreateDevice(reinterpret_cast<PDRIVER_OBJECT>(driver), extensionSize,
                              const_cast<PUNICODE_STRING>(Nt(name)), deviceType, characteristics,
                              exclusive ? TRUE : FALSE, &device);
  *created = reinterpret_cast<Device *>(device);
  return s;
}
void DeleteDevice(Device *device) { IoDeleteDevice(Nt(device)); }
void *DeviceExtension(Device *device) { return Nt(device)->DeviceExtension; }
Driver *DeviceDriver(Device *device) {
  return reinterpret_cast<Driver *>(Nt(device)->DriverObject);
}
void SetDeviceFlags(Device *device, uint32_t flags) { Nt(device)->Flags |= flags; }
void ClearDeviceFlags(Device *device, uint32_t flags) { Nt(device)->Flags &= ~flags; }
void SetAlignmentRequirement(Device *device, uint32_t alignment) {
  Nt(device)->AlignmentRequirement = alignment;
}
NtStatus CreateSymbolicLink(const UString *link, const UString *target) {
  return IoCreateSymbolicLink(const_cast<PUNICODE_STRING>(Nt(link)),
                              const_cast<PUNICODE_STRING>(Nt(target)));
}
NtStatus DeleteSymbolicLink(const UString *link) {
  return IoDeleteSymbolicLink(const_cast<PUNICODE_STRING>(Nt(link)));
}
void InstallDispatchHandlers(Driver *driver) {
  auto *d = reinterpret_cast<PDRIVER_OBJECT>(driver);
  d->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  d->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  d->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  d->MajorFunction[IRP_MJ_READ] = DispatchRead;
  d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  // With an unload routine the service can stop, and a newer driver can be loaded without a
  // restart.
  d->DriverUnload = Unload;
}
Device *NextDriverDevice(Driver *driver, Device *device) {
  PDEVICE_OBJECT next =
      device ? Nt(device)->NextDevice : reinterpret_cast<PDRIVER_OBJECT>(driver)->DeviceObject;
  return reinterpret_cast<Device *>(next);
}
void ReferenceDevice(Device *device) { ObReferenceObject(Nt(device)); }
void ReleaseDevice(Device *device) { ObDereferenceObject(Nt(device)); }
// The I/O manager's count of opens and mounts; the object manager's reference the driver holds
// keeps the device's memory, so the field can still be read after IoDeleteDevice.
bool DeviceReferenced(Device *device) {
  return __atomic_load_n(&Nt(device)->ReferenceCount, __ATOMIC_ACQUIRE) != 0;
}

uint32_t ControlCode(Request *r) { return Stack(r)->Parameters.DeviceIoControl.IoControlCode; }
uint32_t InputLength(Request *r) { return Stack(r)->Parameters.DeviceIoControl.InputBufferLength; }
uint32_t OutputLength(Request *r) {
  return Stack(r)->Parameters.DeviceIoControl.OutputBufferLength;
}
void *SystemBuffer(Request *r) { return Nt(r)->AssociatedIrp.SystemBuffer; }
void *KernelCallerInput(Request *r) {
  return Stack(r)->Parameters.DeviceIoControl.Type3InputBuffer;
}

int64_t ReadByteOffset(Request *r) { return Stack(r)->Parameters.Read.ByteOffset.QuadPart; }
uint32_t ReadLength(Request *r) { return Stack(r)->Parameters.Read.Length; }

void *MapReadBuffer(Request *r, uint32_t *bytes) {
  *bytes = 0;
  PMDL mdl = Nt(r)->MdlAddress;
  if (!mdl)
    return nullptr;
  *bytes = MmGetMdlByteCount(mdl);
  // The safe form: MmMapLockedPages bugchecks when system address space runs out, this one
  // answers null (it is MmMapLockedPagesSpecifyCache without bugcheck-on-failure). A paging
  // read that found no mapping would fail a page-in, so it asks at high priority; data is
  // never executed, so the mapping is not executable where the system can say so.
  const ULONG priority = (Nt(r)->Flags & IRP_PAGING_IO) ? HighPagePriority : NormalPagePriority;
  return MmGetSystemAddressForMdlSafe(mdl,
                                      static_cast<MM_PAGE_PRIORITY>(priority | g_noExecuteMapping));
}

void CompleteRequest(Request *r, NtStatus status, uint32_t information) {
  PIRP irp = Nt(r);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void **RequestContext(Request *r) { return Nt(r)->Tail.Overlay.DriverContext; }
const void *RequestFile(Request *r) { return Stack(r)->FileObject; }
bool FromUserMode(Request *r) { return Nt(r)->RequestorMode != KernelMode; }
bool OverridesVerify(Request *r) { return (Stack(r)->Flags & SL_OVERRIDE_VERIFY_VOLUME) != 0; }

bool CallerMayManageVolumes() {
  // The subject is the current thread, the caller's own: control requests reach a top-level
  // driver in the thread that sent them.
  return SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_MANAGE_VOLUME_PRIVILEGE), UserMode);
}

namespace {

// Not in every header: the object manager checks access as for a user-mode open even though
// the handle is opened in kernel mode.
constexpr ULONG kObjForceAccessCheck = 0x00000400;

} // namespace

// ZwCreateFile is allowed at PASSIVE_LEVEL only (Driver Verifier's IrqlZwPassive).
NtStatus OpenImageFile(const UString *ntPath, bool asCaller, FileHandle *handle) {
  // A server behind the name (a pipe's) may identify the opener, never act as it.
  SECURITY_QUALITY_OF_SERVICE quality;
  quality.Length = sizeof(quality);
  quality.ImpersonationLevel = SecurityIdentification;
  quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
  quality.EffectiveOnly = TRUE;
  OBJECT_ATTRIBUTES attributes;
  // A kernel handle: no process can see or close it, and it is valid in the drive's thread.
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Nt(ntPath)),
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE |
                                 (asCaller ? kObjForceAccessCheck : 0),
                             nullptr, nullptr);
  attributes.SecurityQualityOfService = &quality;
  IO_STATUS_BLOCK io;
  HANDLE file = nullptr;
  // Others may go on reading, writing, renaming and deleting the image while it is mounted.
  const NTSTATUS s =
      ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr,
                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  *handle = NT_SUCCESS(s) ? file : nullptr;
  return s;
}

NtStatus QueryImageFileKind(FileHandle handle, Driver *driver, ImageFileKind *kind) {
  IO_STATUS_BLOCK io;
  FILE_FS_DEVICE_INFORMATION device;
  NTSTATUS s =
      ZwQueryVolumeInformationFile(handle, &io, &device, sizeof(device), FileFsDeviceInformation);
  if (!NT_SUCCESS(s))
    return s;
  kind->deviceType = device.DeviceType;
  kind->remote = (device.Characteristics & FILE_REMOTE_DEVICE) != 0;
  // Wine opens host files only (no volumes, no disks) and mounts no file system on our drives;
  // its file objects for them are not the kernel's (no name, no device).
  if (g_hostedByWine) {
    kind->named = true;
    kind->onDriverVolume = false;
    return STATUS_SUCCESS;
  }
  // The file object tells a file of a file system (it has a name) from the volume or disk
  // opened whole, and the device it lies on.
  PFILE_OBJECT file = nullptr;
  s = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                reinterpret_cast<PVOID *>(&file), nullptr);
  if (!NT_SUCCESS(s))
    return s;
  kind->named = file->FileName.Length != 0;
  auto *ours = reinterpret_cast<PDRIVER_OBJECT>(driver);
  kind->onDriverVolume =
      (file->DeviceObject && file->DeviceObject->DriverObject == ours) ||
      (file->Vpb && file->Vpb->RealDevice && file->Vpb->RealDevice->DriverObject == ours);
  ObDereferenceObject(file);
  return STATUS_SUCCESS;
}

NtStatus ReadFileAt(FileHandle handle, void *buffer, uint32_t length, int64_t offset,
                    uint32_t *bytesRead) {
  IO_STATUS_BLOCK io;
  io.Information = 0;
  LARGE_INTEGER at;
  at.QuadPart = offset;
  const NTSTATUS s =
      ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, length, &at, nullptr);
  *bytesRead = NT_SUCCESS(s) ? uint32_t(io.Information) : 0;
  return s;
}

void CloseFile(FileHandle handle) { ZwClose(handle); }

namespace {

// Not in the toolchain's headers: the 128-bit form (Windows 8 and later; ReFS needs it).
struct FileIdInformation128 {
  ULONGLONG volumeSerialNumber;
  UCHAR fileId[16];
};
constexpr FILE_INFORMATION_CLASS kFileIdInformation = FILE_INFORMATION_CLASS(59);

} // namespace

// ZwQueryInformationFile and ZwQueryVolumeInformationFile run at PASSIVE_LEVEL only.
NtStatus QueryFileIdentity(FileHandle handle, FileIdentity *identity) {
  *identity = FileIdentity{};
  IO_STATUS_BLOCK io;
  FileIdInformation128 wide;
  NTSTATUS s = ZwQueryInformationFile(handle, &io, &wide, sizeof(wide), kFileIdInformation);
  if (NT_SUCCESS(s)) {
    identity->volumeSerialLow = ULONG(wide.volumeSerialNumber);
    identity->volumeSerialHigh = ULONG(wide.volumeSerialNumber >> 32);
    RtlCopyMemory(identity->fileId, wide.fileId, sizeof(identity->fileId));
    return STATUS_SUCCESS;
  }
  // Older systems: the 64-bit file ID and the volume's 32-bit serial.
  FILE_INTERNAL_INFORMATION internal;
  s = ZwQueryInformationFile(handle, &io, &internal, sizeof(internal), FileInternalInformation);
  if (!NT_SUCCESS(s))
    return s;
  // Room for a label, so that the fixed part comes back whole.
  union {
    FILE_FS_VOLUME_INFORMATION info;
    UCHAR bytes[sizeof(FILE_FS_VOLUME_INFORMATION) + 64];
  } volume;
  s = ZwQueryVolumeInformationFile(handle, &io, &volume, sizeof(volume), FileFsVolumeInformation);
  if (!NT_SUCCESS(s) && s != STATUS_BUFFER_OVERFLOW)
    return s;
  identity->volumeSerialLow = volume.info.VolumeSerialNumber;
  RtlCopyMemory(identity->fileId, &internal.IndexNumber, sizeof(internal.IndexNumber));
  return STATUS_SUCCESS;
}

// ZwQueryInformationFile runs at PASSIVE_LEVEL only; the handle is a kernel handle of ours.
NtStatus QueryFileSize(FileHandle handle, uint64_t *size) {
  IO_STATUS_BLOCK io;
  FILE_STANDARD_INFORMATION info;
  const NTSTATUS s =
      ZwQueryInformationFile(handle, &io, &info, sizeof(info), FileStandardInformation);
  *size = NT_SUCCESS(s) ? uint64_t(info.EndOfFile.QuadPart) : 0;
  return s;
}

void *AllocatePaged(size_t bytes, uint32_t tag) {
  return ExAllocatePoolWithTag(PagedPool, bytes, tag);
}
void *AllocateNonPaged(size_t bytes, uint32_t tag) {
  return ExAllocatePoolWithTag(g_nonPagedPool, bytes, tag);
}

// The lock and the event live in nonpaged pool: they are used at DISPATCH_LEVEL.
struct SpinLock {
  KSPIN_LOCK lock;
};
struct WorkEvent {
  KEVENT event;
};

SpinLock *NewSpinLock() {
  auto *lock = static_cast<SpinLock *>(AllocateNonPaged(sizeof(SpinLock), kPoolTagDdk));
  if (lock)
    KeInitializeSpinLock(&lock->lock);
  return lock;
}
void FreeSpinLock(SpinLock *lock) { ExFreePool(lock); }
Irql AcquireSpinLock(SpinLock *lock) {
  KIRQL previous;
  KeAcquireSpinLock(&lock->lock, &previous);
  return previous;
}
void ReleaseSpinLock(SpinLock *lock, Irql previous) { KeReleaseSpinLock(&lock->lock, previous); }

WorkEvent *NewWorkEvent() {
  auto *event = static_cast<WorkEvent *>(AllocateNonPaged(sizeof(WorkEvent), kPoolTagDdk));
  if (event)
    KeInitializeEvent(&event->event, SynchronizationEvent, FALSE);
  return event;
}
void FreeWorkEvent(WorkEvent *event) { ExFreePool(event); }
void SignalWork(WorkEvent *event) { KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE); }
void WaitForWork(WorkEvent *event) {
  KeWaitForSingleObject(&event->event, Executive, KernelMode, FALSE, nullptr);
}
bool WaitForWorkFor(WorkEvent *event, uint32_t milliseconds) {
  // A relative time is negative, in units of 100 ns; unlike an absolute one, it does not follow
  // changes of the system time.
  // Allowed below DISPATCH_LEVEL with a nonzero timeout (the drive's thread: PASSIVE_LEVEL).
  LARGE_INTEGER timeout;
  timeout.QuadPart = -LONGLONG(milliseconds) * 10000;
  return KeWaitForSingleObject(&event->event, Executive, KernelMode, FALSE, &timeout) ==
         STATUS_SUCCESS;
}

namespace {

struct ThreadStart {
  ThreadRoutine routine;
  void *context;
};

VOID NTAPI ThreadEntry(PVOID start) {
  const ThreadStart copy = *static_cast<ThreadStart *>(start);
  ExFreePool(start);
  copy.routine(copy.context);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

// A thread of the driver's: its kernel handle, and the thread object referenced where the kernel
// gives one for it (not under Wine).
struct SystemThread {
  HANDLE handle;
  PVOID object;
};

NtStatus StartSystemThread(ThreadRoutine routine, void *context, SystemThread **thread) {
  *thread = nullptr;
  auto *start = static_cast<ThreadStart *>(AllocateNonPaged(sizeof(ThreadStart), kPoolTagDdk));
  auto *record = static_cast<SystemThread *>(AllocateNonPaged(sizeof(SystemThread), kPoolTagDdk));
  if (!start || !record) {
    if (start)
      ExFreePool(start);
    if (record)
      ExFreePool(record);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *start = ThreadStart{routine, context};
  *record = SystemThread{nullptr, nullptr};
  // No process handle: the thread belongs to the system process, not to whoever loaded us. A
  // kernel handle: no process's handle table holds it, whichever context this runs in, and the
  // driver keeps it to wait for the thread's end before the image that holds its code goes.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  const NTSTATUS s = PsCreateSystemThread(&record->handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                          nullptr, ThreadEntry, start);
  if (!NT_SUCCESS(s)) {
    ExFreePool(start);
    ExFreePool(record);
    return s;
  }
  // Wine's x86-64 ntoskrnl faults inside this reference of a thread; there the handle serves.
  if (g_hostedByWine ||
      !NT_SUCCESS(ObReferenceObjectByHandle(record->handle, SYNCHRONIZE, *PsThreadType, KernelMode,
                                            &record->object, nullptr)))
    record->object = nullptr;
  *thread = record;
  return STATUS_SUCCESS;
}

void JoinSystemThread(SystemThread *thread) {
  if (thread->object) {
    KeWaitForSingleObject(thread->object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread->object);
  } else {
    ZwWaitForSingleObject(thread->handle, FALSE, nullptr);
  }
  ZwClose(thread->handle);
  ExFreePool(thread);
}

void FreePool(void *memory) { ExFreePool(memory); }

void InitString(UString *s, const char16_t *text) { RtlInitUnicodeString(Nt(s), Nt(text)); }
NtStatus AppendText(UString *s, const char16_t *text) {
  return RtlAppendUnicodeToString(Nt(s), Nt(text));
}
NtStatus AppendString(UString *s, const UString *tail) {
  return RtlAppendUnicodeStringToString(Nt(s), Nt(tail));
}
NtStatus IntegerToString(uint32_t value, uint32_t base, UString *s) {
  return RtlIntegerToUnicodeString(value, base, Nt(s));
}
int32_t CompareStrings(const UString *a, const UString *b, bool caseInsensitive) {
  return RtlCompareUnicodeString(Nt(a), Nt(b), caseInsensitive ? TRUE : FALSE);
}

namespace {

// One value of a key as KEY_VALUE_PARTIAL_INFORMATION (type, size, as much data as fits).
// ZwOpenKey and ZwQueryValueKey run at PASSIVE_LEVEL only.
NTSTATUS QueryPartialValue(const char16_t *keyPath, const char16_t *valueName,
                           KEY_VALUE_PARTIAL_INFORMATION *answer, ULONG bytes) {
  UNICODE_STRING keyName;
  RtlInitUnicodeString(&keyName, Nt(keyPath));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  NTSTATUS s = ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes);
  if (!NT_SUCCESS(s))
    return s;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Nt(valueName));
  ULONG returned = 0;
  s = ZwQueryValueKey(key, &name, KeyValuePartialInformation, answer, bytes, &returned);
  ZwClose(key);
  return s;
}

// Whether the value exists and holds a string. A direct query stores any other type in place of
// the counted string, and a binary value would be written past it; the query's own type check
// is not honoured everywhere (Wine ignores it), so the type is looked at first.
NTSTATUS StringValueExists(const char16_t *keyPath, const char16_t *valueName) {
  KEY_VALUE_PARTIAL_INFORMATION info;
  // Too small for the data on purpose: only the type is wanted.
  const NTSTATUS s = QueryPartialValue(keyPath, valueName, &info, sizeof(info));
  if (s != STATUS_SUCCESS && s != STATUS_BUFFER_OVERFLOW)
    return s;
  return info.Type == REG_SZ ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

} // namespace

NtStatus QueryRegistryString(const char16_t *keyPath, const char16_t *valueName, UString *value) {
  const NTSTATUS exists = StringValueExists(keyPath, valueName);
  if (!NT_SUCCESS(exists))
    return exists;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  // Where it is honoured, the query's own type check also covers a value changed since the
  // look above.
  constexpr ULONG kTypeCheck = 0x00000100; // RTL_QUERY_REGISTRY_TYPECHECK
  constexpr ULONG kTypeCheckShift = 24;    // RTL_QUERY_REGISTRY_TYPECHECK_SHIFT
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | kTypeCheck;
  table[0].Name = const_cast<PWSTR>(Nt(valueName));
  table[0].EntryContext = value;
  table[0].DefaultType = (REG_SZ << kTypeCheckShift) | REG_NONE;
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Nt(keyPath), table, nullptr, nullptr);
}

NtStatus QueryRegistryBinary(const char16_t *keyPath, const char16_t *valueName, void *buffer,
                             uint32_t size, uint32_t *got) {
  *got = 0;
  // The answer carries a header before the data, so it goes to a paged store of its own and
  // only a value of the exact type and size is copied out; a larger one overflows the store.
  const ULONG answerBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + size;
  auto *answer = static_cast<KEY_VALUE_PARTIAL_INFORMATION *>(
      ExAllocatePoolWithTag(PagedPool, answerBytes, kPoolTagDdk));
  if (!answer)
    return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS s = QueryPartialValue(keyPath, valueName, answer, answerBytes);
  if (NT_SUCCESS(s)) {
    *got = answer->DataLength;
    if (answer->Type != REG_BINARY)
      s = STATUS_OBJECT_TYPE_MISMATCH;
    else if (answer->DataLength != size)
      s = STATUS_INVALID_PARAMETER;
    else
      RtlCopyMemory(buffer, answer->Data, size);
  }
  ExFreePool(answer);
  return s;
}

} // namespace velmor::kernel

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  // Windows 8 (6.2) and later have a nonpaged pool that is not executable, and take a
  // no-execute flag when mapping.
  UNICODE_STRING wineExport;
  RtlInitUnicodeString(&wineExport, L"wine_ntoskrnl_main_loop");
  velmor::kernel::g_hostedByWine = MmGetSystemRoutineAddress(&wineExport) != nullptr;
  RTL_OSVERSIONINFOW version;
  version.dwOSVersionInfoSize = sizeof(version);
  if (NT_SUCCESS(RtlGetVersion(&version)) &&
      (version.dwMajorVersion > 6 ||
       (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
    velmor::kernel::g_nonPagedPool = NonPagedPoolNx;
    velmor::kernel::g_noExecuteMapping = 0x40000000; // MdlMappingNoExecute
  }
  return velmor::VelmorStartDriver(reinterpret_cast<velmor::kernel::Driver *>(driver),
                                   reinterpret_cast<const velmor::UString *>(registryPath));
}
