// The kernel operations the request logic uses. The driver build implements them with the NT
// kernel (driver/kernel/); the host tests implement them with a user-mode model. The request
// logic sees only these declarations, never a kernel header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "velmor_identity.h"
#include "velmor_protocol.h"

namespace velmor {

// Same layout as the platform's counted UTF-16 string: lengths in bytes, no terminator needed.
struct UString {
  uint16_t Length;
  uint16_t MaximumLength;
  char16_t *Buffer;
};

namespace kernel {

struct Driver;  // the driver object
struct Device;  // a device object
struct Request; // an I/O request with its current stack location
using FileHandle = void *;

// Device flags and settings used by the driver.
inline constexpr uint32_t kDoVerifyVolume = 0x02;
inline constexpr uint32_t kDoDirectIo = 0x10;
inline constexpr uint32_t kDoDeviceInitializing = 0x80;
inline constexpr uint32_t kFileRemovableMedia = 0x01;
inline constexpr uint32_t kFileReadOnlyDevice = 0x02;
inline constexpr uint32_t kFileWordAlignment = 0x01;
// Opens of a device's own name, as of the names below it, pass its security check.
inline constexpr uint32_t kFileDeviceSecureOpen = 0x100;
inline constexpr uint32_t kPoolTagDdk = 0x206B6444; // "Ddk " in memory order

// Interrupt request levels. The routines below may be called only up to the level their
// comment names; the host model fails a test that calls one above it.
using Irql = uint8_t;
inline constexpr Irql kPassiveLevel = 0;
inline constexpr Irql kApcLevel = 1;
inline constexpr Irql kDispatchLevel = 2;

// I/O manager (PASSIVE_LEVEL).
NtStatus CreateDevice(Driver *driver, const UString *name, uint32_t extensionSize,
                      uint32_t deviceType, uint32_t characteristics, bool exclusive,
                      Device **created);
void DeleteDevice(Device *device);
void *DeviceExtension(Device *device);
Driver *DeviceDriver(Device *device);
void SetDeviceFlags(Device *device, uint32_t flags);
void ClearDeviceFlags(Device *device, uint32_t flags);
void SetAlignmentRequirement(Device *device, uint32_t alignment);
NtStatus CreateSymbolicLink(const UString *link, const UString *target);
NtStatus DeleteSymbolicLink(const UString *link);
// Routes create, close, cleanup, read and device-control requests of the driver to the dispatch
// routines, and sets the unload routine.
void InstallDispatchHandlers(Driver *driver);
// The driver's devices, as the kernel lists them: the first (after null) or the one after
// `device`; null at the end. A deleted device stays listed while anything references it, and
// the kernel defers the driver's unload until none is: only the unload walks this list.
Device *NextDriverDevice(Driver *driver, Device *device);
// The driver's own reference on a device: it keeps the device's memory (extension included)
// after its deletion, until released, and defers nothing (up to DISPATCH_LEVEL).
void ReferenceDevice(Device *device);
void ReleaseDevice(Device *device);
// Whether anything but the driver still references the device: a handle, a file object, a
// file system's volume (the I/O manager's count of them). A deleted device stays in the
// driver's list while it is; read it only on a device the driver holds a reference on.
bool DeviceReferenced(Device *device);
// Who may open a device: SYSTEM and Administrators with every right, Everyone and restricted
// tokens with `everyoneAccess` (none: they may not open it). Set right after creation, before
// the device has a link or can be opened (PASSIVE_LEVEL).
NtStatus SetDeviceSecurity(Device *device, uint32_t everyoneAccess);
// The platform's generic file rights, as the I/O manager maps them for files.
inline constexpr uint32_t kFileExecute = 0x0020;
inline constexpr uint32_t kFileGenericRead = 0x00120089;
inline constexpr uint32_t kFileGenericExecute = 0x001200A0;

// The current request.
uint32_t ControlCode(Request *request);
uint32_t InputLength(Request *request);
uint32_t OutputLength(Request *request);
// The buffer a buffered request answers in (at least max(input, output length) bytes). For a
// request from kernel mode with its input elsewhere (see KernelCallerInput) it may be null or
// another request's.
void *SystemBuffer(Request *request);
// Where a kernel-mode caller of a direct-I/O control request left its input
// (Parameters.DeviceIoControl.Type3InputBuffer): the file system sends its raw reads as
// associated requests whose system buffer is the master request, not the input.
void *KernelCallerInput(Request *request);
int64_t ReadByteOffset(Request *request);
uint32_t ReadLength(Request *request);
// The system address of the request's locked buffer, mapping it when needed, and in `bytes`
// how many bytes it describes: a read's data buffer, or the output buffer of a direct-I/O
// control request (IOCTL_CDROM_RAW_READ). Null when there is none or no system address space
// is left for it (up to DISPATCH_LEVEL). Never executable; paging reads map at high priority.
void *MapReadBuffer(Request *request, uint32_t *bytes);
// Completes with no priority boost (up to DISPATCH_LEVEL).
void CompleteRequest(Request *request, NtStatus status, uint32_t information);
// Three pointers the driver may use while it holds a pending request (the queue keeps its own).
void **RequestContext(Request *request);
// The file object the request came through: what a cleanup closes.
const void *RequestFile(Request *request);
// Whether the request came from user mode; such a caller's buffers and rights are checked.
bool FromUserMode(Request *request);
// Whether the caller asked to pass a pending verify (SL_OVERRIDE_VERIFY_VOLUME): the file
// system's own verify of its volume.
bool OverridesVerify(Request *request);
// Whether the thread that sent the current request holds the privilege that adding and removing
// drives needs (SeManageVolumePrivilege, enabled: administrators hold it by default; standard
// users and the service accounts do not). Called in the caller's own thread, at PASSIVE_LEVEL.
bool CallerMayManageVolumes();

// A cancel-safe queue of pending requests: a list under a spin lock, with a cancel routine. It
// lies in the drive's device extension (nonpaged), not in pool the drive frees: a request
// holds a reference to its device until it is completed, so the device's memory outlives every
// request queued in it, and a cancel routine that runs after the drive was removed still finds
// the queue. A request is in the list only while its cancel routine is set; whoever clears the
// routine first (a dequeue, or the cancel) owns the request. The cancel runs in two steps that
// anything may come between: the I/O manager clears the routine, then calls it. Up to
// DISPATCH_LEVEL.
struct RequestQueue {
  uintptr_t storage[4];
};
void InitRequestQueue(RequestQueue *queue);
// Marks the request pending and queues it: kPending. A request already being cancelled is
// marked pending but not queued: kCancelled, and the caller completes it as cancelled once it
// holds no spin lock (a completion routine may send the request straight back).
NtStatus QueueRequest(RequestQueue *queue, Request *request);
// Takes the oldest request out (of those sent through `file`, when not null); null when none
// waits. A request taken out can no longer be cancelled.
Request *DequeueRequest(RequestQueue *queue, const void *file);

// Image files. Opened by NT path for reading, shared for reading, writing and deletion, not a
// directory, with a security quality of service that lets a server of the path at most
// identify the opener. With `asCaller`, the object manager checks the calling thread's access
// as for its own open (OBJ_FORCE_ACCESS_CHECK): in the caller's own thread, at PASSIVE_LEVEL.
// The handle is a kernel handle, valid in every thread, and every later read goes through it.
NtStatus OpenImageFile(const UString *ntPath, bool asCaller, FileHandle *handle);
// What the opened file is, for refusing what is not a file on a local disk.
struct ImageFileKind {
  uint32_t deviceType; // of its volume: kFileDeviceDisk for a file on a local disk
  bool remote;         // on a redirector's volume (a share)
  bool named;          // a file of a file system, not the volume or device itself
  bool onDriverVolume; // on a volume of one of this driver's own devices
};
NtStatus QueryImageFileKind(FileHandle handle, Driver *driver, ImageFileKind *kind);
// Reads up to `length` bytes; `*bytesRead` tells how many arrived. PASSIVE_LEVEL only.
NtStatus ReadFileAt(FileHandle handle, void *buffer, uint32_t length, int64_t offset,
                    uint32_t *bytesRead);
void CloseFile(FileHandle handle);
// The identity of an open file (velmor_identity.h): the 128-bit file ID and 64-bit volume
// serial where the system has them, else the 64-bit ID and the volume's 32-bit serial.
// PASSIVE_LEVEL only.
NtStatus QueryFileIdentity(FileHandle handle, FileIdentity *identity);
// The file's size in bytes (its end of file). PASSIVE_LEVEL only, like every Zw file routine.
NtStatus QueryFileSize(FileHandle handle, uint64_t *size);

// A drive's worker: a system thread of its own, spin locks and auto-resetting events, all in
// nonpaged memory. Null or a failure status when resources run out.
struct SpinLock;
struct WorkEvent;
struct SystemThread;
using ThreadRoutine = void (*)(void *context);
SpinLock *NewSpinLock();
void FreeSpinLock(SpinLock *lock);
// Raises to DISPATCH_LEVEL and returns the level to go back to: nothing paged may be touched
// and no other seam routine called until the release (the queue's and SignalWork excepted).
Irql AcquireSpinLock(SpinLock *lock);
void ReleaseSpinLock(SpinLock *lock, Irql previous);
WorkEvent *NewWorkEvent();
void FreeWorkEvent(WorkEvent *event);
// Wakes one waiter (up to DISPATCH_LEVEL).
void SignalWork(WorkEvent *event);
// Waits for a signal, below DISPATCH_LEVEL.
void WaitForWork(WorkEvent *event);
// Waits for a signal at most `milliseconds` (KeWaitForSingleObject with a relative timeout):
// true when signalled, false when the time ran out. Below DISPATCH_LEVEL. What waits on a
// user-mode server waits only this way.
bool WaitForWorkFor(WorkEvent *event, uint32_t milliseconds);
// Starts `routine` in a system thread (of the system process, whoever calls) that runs at
// PASSIVE_LEVEL until the routine returns; `*thread` is a reference on it (PASSIVE_LEVEL).
NtStatus StartSystemThread(ThreadRoutine routine, void *context, SystemThread **thread);
// Waits until the thread has ended and lets the reference go (PASSIVE_LEVEL, never in the
// thread itself).
void JoinSystemThread(SystemThread *thread);

// Paged pool (up to APC_LEVEL) and nonpaged pool (up to DISPATCH_LEVEL; never executable
// where the system can say so).
void *AllocatePaged(size_t bytes, uint32_t tag);
void *AllocateNonPaged(size_t bytes, uint32_t tag);
void FreePool(void *memory);

// Counted strings, with the platform's semantics (appends that do not fit change nothing and
// fail with kBufferTooSmall). The driver's stores are paged, so appends run up to APC_LEVEL;
// the conversion and the comparison at PASSIVE_LEVEL only.
void InitString(UString *string, const char16_t *text);
NtStatus AppendText(UString *string, const char16_t *text);
NtStatus AppendString(UString *string, const UString *tail);
NtStatus IntegerToString(uint32_t value, uint32_t base, UString *string);
int32_t CompareStrings(const UString *a, const UString *b, bool caseInsensitive);

// Reads the REG_SZ value `valueName` of the key at the absolute registry path `keyPath` into
// `value` (whose store the caller provides); a value of any other type fails. One value per
// call: Wine fails a query of a missing value instead of leaving the string empty, and a
// failure must only skip that value.
NtStatus QueryRegistryString(const char16_t *keyPath, const char16_t *valueName, UString *value);
// Reads the REG_BINARY value `valueName` of the key at `keyPath` into `buffer`, which must hold
// exactly `size` bytes of it: a missing value, another type or another size fails (`*got` then
// tells the value's size when it is known, else 0). PASSIVE_LEVEL only; `buffer` may be paged.
NtStatus QueryRegistryBinary(const char16_t *keyPath, const char16_t *valueName, void *buffer,
                             uint32_t size, uint32_t *got);

} // namespace kernel
} // namespace velmor
