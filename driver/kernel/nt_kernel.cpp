// The kernel side of kernel_seam.h: each operation maps onto the NT kernel routine of the same
// purpose. Nothing here decides anything; the request logic does.
// wdm.h brings its own InterlockedBitTestAndSet/Reset, which C++ refuses beside the
// compiler-intrinsic declarations; mark those as already present.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/ntddk.h>

#include "guarded_copy.h"
#include "kernel_seam.h"
#include "velmor_driver.h"

namespace velmor::kernel {
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
  d->MajorFunction[IRP_MJ_READ] = DispatchRead;
  d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
}

uint32_t ControlCode(Request *r) { return Stack(r)->Parameters.DeviceIoControl.IoControlCode; }
uint32_t InputLength(Request *r) { return Stack(r)->Parameters.DeviceIoControl.InputBufferLength; }
uint32_t OutputLength(Request *r) {
  return Stack(r)->Parameters.DeviceIoControl.OutputBufferLength;
}
void *SystemBuffer(Request *r) { return Nt(r)->AssociatedIrp.SystemBuffer; }

void *CallerOutputBuffer(Request *r, uint32_t length) {
  PIRP irp = Nt(r);
  auto address = reinterpret_cast<ULONG_PTR>(irp->UserBuffer);
  if (!address || OutputLength(r) < length)
    return nullptr;
  // A user-mode caller's buffer was probed by the I/O manager when the request was made; what
  // remains to refuse is a range reaching beyond the user part of the address space.
  if (irp->RequestorMode != KernelMode &&
      (address + length < address || address + length > MmUserProbeAddress))
    return nullptr;
  return irp->UserBuffer;
}

bool CopyFromCaller(void *to, const void *callerMemory, uint32_t length) {
  return VelmorGuardedCopy(to, callerMemory, length);
}
bool CopyToCaller(void *callerMemory, const void *from, uint32_t length) {
  return VelmorGuardedCopy(callerMemory, from, length);
}

int64_t ReadByteOffset(Request *r) { return Stack(r)->Parameters.Read.ByteOffset.QuadPart; }
uint32_t ReadLength(Request *r) { return Stack(r)->Parameters.Read.Length; }

void *MapReadBuffer(Request *r) {
  PMDL mdl = Nt(r)->MdlAddress;
  if (!mdl)
    return nullptr;
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
    return mdl->MappedSystemVa;
  return MmMapLockedPages(mdl, KernelMode);
}

void CompleteRequest(Request *r, NtStatus status, uint32_t information) {
  PIRP irp = Nt(r);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NtStatus OpenFileForRead(const UString *ntPath, FileHandle *handle) {
  OBJECT_ATTRIBUTES attributes;
  // A kernel handle: the requesting process cannot see or close the per-read handle.
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Nt(ntPath)),
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE file = nullptr;
  NTSTATUS s = ZwCreateFile(&file, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  *handle = file;
  return s;
}

NtStatus ReadFileAt(FileHandle handle, void *buffer, uint32_t length, int64_t offset) {
  IO_STATUS_BLOCK io;
  LARGE_INTEGER at;
  at.QuadPart = offset;
  return ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, length, &at, nullptr);
}

void CloseFile(FileHandle handle) { ZwClose(handle); }

void *AllocatePaged(size_t bytes, uint32_t tag) {
  return ExAllocatePoolWithTag(PagedPool, bytes, tag);
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

// Whether the value exists and holds a string. A direct query stores any other type in place of
// the counted string, and a binary value would be written past it; the query's own type check
// is not honoured everywhere (Wine ignores it), so the type is looked at first.
NTSTATUS StringValueExists(const char16_t *keyPath, const char16_t *valueName) {
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
  KEY_VALUE_PARTIAL_INFORMATION info;
  ULONG returned = 0;
  // Too small for the data on purpose: only the type is wanted.
  s = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &info, sizeof(info), &returned);
  ZwClose(key);
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

} // namespace velmor::kernel

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return velmor::VelmorStartDriver(reinterpret_cast<velmor::kernel::Driver *>(driver),
                                   reinterpret_cast<const velmor::UString *>(registryPath));
}
