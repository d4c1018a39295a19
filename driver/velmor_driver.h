// Request logic of the virtual CD-ROM driver: device creation, the three dispatch routines and
// start-up. Written against kernel_seam.h only, so the same sources build into velmor.sys and
// into the host tests.
#pragma once

#include "kernel_seam.h"

namespace velmor {

struct VelmorWorker;
struct VelmorLayout;
struct VelmorHeaderDisc;
struct VelmorServed;

// Carried by every device of the driver, the control device included. The record lies in the
// device object, in nonpaged memory; its two strings' stores are paged.
struct VELMOR_DRIVE_EXTENSION {
  kernel::Device *DeviceObject; // null once the drive has been removed
  kernel::Device *Self;         // the device, also after its removal
  // The control device's record, which outlives every drive: the driver's own state.
  VELMOR_DRIVE_EXTENSION *Control;
  VelmorWorker *Worker;  // the drive's own thread and queue; null for the control device
  UString ImageFileName; // "\??\" + image path; store 1,000 bytes, capacity 998
  UString DosLinkName;   // "\DosDevices\L:" or "\DosDevices\VELMOR"; store 86, capacity 84
  uint32_t IsoFormat;    // 1: disc data from file offset 0; 0: from offset 64 KiB
  // Holds on the drive (ImageFileName's store, Layout, Worker, HeaderDisc): one for the device
  // until it is removed, one for each request using them meanwhile. The last to let go frees
  // them.
  uint32_t DriveUsers;
  // A layout drive's tracks and files (paged), read only under a hold; null for the classic
  // drives. ImageFileName then names the first file.
  VelmorLayout *Layout;
  // Set once at creation and never changed, so they may be read without a hold: 0 for a
  // classic drive, else the first block of the layout's lead-out; and the 2,048-byte blocks
  // of a classic drive's image from its disc data on (rounded up).
  uint32_t LayoutLeadOut;
  uint32_t ImageBlocks;
  // A classic drive's image, opened once when the drive was made and read only through this
  // handle, by the drive's thread, until the drive is removed. Null for the control device
  // and the layout drives (whose files are in the layout).
  kernel::FileHandle Image;
  uint32_t IsControl;  // the control device: no image, no drive requests
  uint32_t DriveIndex; // the letter's number (A = 0): the drive's device number
  // A VELMOR format drive's table of contents, read from its header when the drive was made
  // and parsed (paged); null for other drives, and for a header that holds none that makes
  // sense. Freed with the last hold.
  VelmorHeaderDisc *HeaderDisc;
  // The requests waiting for the drive's thread. In the extension, not with the worker: a
  // request being cancelled keeps the device (and so this queue) alive after the drive's
  // removal has freed the worker.
  kernel::RequestQueue Queue;
  // A removed drive whose device the driver still references, in the control device's list of
  // them: the system keeps such a device while anything else references it too.
  VELMOR_DRIVE_EXTENSION *NextRemoved;

  // The control device's: the removed drives (under RemovedLock), and why start-up did not
  // make each letter's recorded drive (a SkipReason; cleared by an add at the letter).
  kernel::SpinLock *RemovedLock;
  VELMOR_DRIVE_EXTENSION *RemovedDrives;
  uint8_t SkipReasons[26];

  // A served drive's conversation with its server (served_drive.h); null for other drives.
  // Freed with the last hold.
  VelmorServed *Served;
  // The control device's: the served drives (under ServedLock, which also guards every served
  // drive's state), and the servers' pending SERVE requests. The queue lies in the extension
  // for the reason the drives' does: a cancel may run after anything else has gone.
  kernel::SpinLock *ServedLock;
  VelmorServed *ServedDrives;
  kernel::RequestQueue ServeQueue;
};

inline constexpr uint16_t kImageStoreBytes = 1000;
inline constexpr uint16_t kImageStoreCapacity = 998;
inline constexpr uint16_t kLinkStoreBytes = 86;
inline constexpr uint16_t kLinkStoreCapacity = 84;
inline constexpr uint16_t kDeviceNameBytes = 198;
// What fits behind the four code units of "\??\" in ImageFileName.
inline constexpr uint32_t kMaxImagePathUnits = kImageStoreCapacity / 2 - 4;

// What VelmorCreateDevice does beyond making the device.
enum VelmorCreateOptions : uint32_t {
  // Drives made from a control request; the system clears the flag of devices made at start.
  kClearInitializing = 1,
  // Open the image with the access check of the calling thread: a caller may mount only a
  // file it may read itself, and the drive reads through that very open. Never for the drives
  // re-created at start, in the system's context.
  kCheckCallerAccess = 2,
  // The image must be the file whose identity is given (start-up: the one the administrator
  // mounted, whatever the recorded path leads to now).
  kExpectIdentity = 4,
};

// The record of a device of the driver.
inline VELMOR_DRIVE_EXTENSION *VelmorExtensionOf(kernel::Device *device) {
  return static_cast<VELMOR_DRIVE_EXTENSION *>(kernel::DeviceExtension(device));
}

// The blocks a drive's reads may start in: up to its lead-out, or its image's end.
inline uint32_t VelmorDriveBlocks(const VELMOR_DRIVE_EXTENSION *extension) {
  return extension->LayoutLeadOut ? extension->LayoutLeadOut : extension->ImageBlocks;
}

// Creates the control device.
NtStatus VelmorCreateControlDevice(kernel::Driver *driver, kernel::Device **control);
// Creates the drive device for letterLink ("L:") over the image at imagePath, which it opens
// once (see VelmorOpenImage), beside the driver's `control` device. Leaves nothing behind when
// it fails. `identity`, when given, receives the opened file's identity.
NtStatus VelmorCreateDevice(kernel::Device *control, const UString *letterLink,
                            const UString *imagePath, uint32_t options,
                            FileIdentity *identity = nullptr);
// Creates the drive for letterLink over `layout` (VelmorNewLayout's, its files open), which it
// takes over: the drive frees it, or this call does when it fails.
// With `served`, a served drive: its files are the server's streams, none is open, and the
// drive owns `served` once made (the caller keeps it when this fails).
NtStatus VelmorCreateLayoutDrive(kernel::Device *control, const UString *letterLink,
                                 VelmorLayout *layout, uint32_t options,
                                 VelmorServed *served = nullptr);
// The letter's index (A = 0) of a "L:" link name.
inline uint32_t VelmorLetterIndex(const UString *letterLink) {
  return DriveNumber(letterLink->Buffer[0]);
}
// Lets go of the removed drives the driver still references: those nothing else references
// any more (all of them at the unload), and answers the letters of the others as a mask.
uint32_t VelmorSettleRemovedDrives(VELMOR_DRIVE_EXTENSION *control, bool all);
// Removes a device: its link, its worker (waiting for the request it serves), its queued
// requests (failed), its image's handles and the device. Later requests through handles still
// open find the medium gone. A second call for the same record does nothing, even when both
// run at once. PASSIVE_LEVEL, never in the drive's own thread.
void VelmorRemoveDevice(VELMOR_DRIVE_EXTENSION *extension);
inline bool VelmorDriveRemoved(const VELMOR_DRIVE_EXTENSION *extension) {
  return __atomic_load_n(&extension->DeviceObject, __ATOMIC_ACQUIRE) == nullptr;
}
// A hold on the drive's image name, layout and worker for a request that uses them; false once
// the drive has been removed and they may be gone. The last release frees them (up to
// APC_LEVEL).
bool VelmorHoldDrive(VELMOR_DRIVE_EXTENSION *extension);
void VelmorReleaseDrive(VELMOR_DRIVE_EXTENSION *extension);

// Opens an image file for a drive and refuses what is not a file on a local disk: a missing
// file, a directory, a pipe or other device, a volume or disk itself, a file on a share, and a
// file on one of this driver's own drives (whose reads would wait on the drive being made).
// With kCheckCallerAccess in `options`, the open is the calling thread's own (PASSIVE_LEVEL).
NtStatus VelmorOpenImage(kernel::Driver *driver, const UString *ntPath, uint32_t options,
                         kernel::FileHandle *handle);

// With kExpectIdentity in `options`, whether the open file is the one `*identity` names
// (kFileInvalid when another file lies behind the path now); without, `*identity` receives the
// file's identity (PASSIVE_LEVEL).
NtStatus VelmorCheckIdentity(kernel::FileHandle handle, uint32_t options, FileIdentity *identity);

// Reads length bytes at fileOffset of an open image into buffer. Bytes past the file's end
// are zeros, so a read cut short never hands back what the buffer held before; `*inFile`, when
// given, tells how many of them the file still holds. PASSIVE_LEVEL only: the drive's thread
// calls it.
NtStatus VELMORReadOffset(int64_t fileOffset, void *buffer, uint32_t length,
                          kernel::FileHandle image, uint32_t *inFile = nullptr);
// Whether a read of `length` bytes of which the file held `inFile` may be given as sectors:
// every sector it touches must start inside the file (the last at `lastSectorStart` bytes into
// the read). Only the part of the last sector past the end reads as zeros; an image that has
// shrunk under its drive (truncated, or replaced by a shorter file) must not answer zeros for
// the sectors it lost as if they were data.
bool VelmorSectorsInFile(uint32_t inFile, uint32_t length, uint32_t lastSectorStart);
// Where the last 2,048-byte sector a read of `length` bytes from byte `start` touches begins,
// in bytes into the read: 0 when the read ends in the sector it begins in.
inline uint32_t VelmorLastSectorStart(uint64_t start, uint32_t length) {
  const uint64_t last = (start + length - 1) & ~uint64_t(kBytesPerSector - 1);
  return length && last > start ? uint32_t(last - start) : 0;
}

// ---- The drive's worker ---------------------------------------------------------------------
// The file system and the memory manager send reads at APC_LEVEL, in any thread, and file
// routines may run only at PASSIVE_LEVEL. Every request that reads the image is therefore
// marked pending and queued to a system thread of the drive's own, which serves its queue in
// order at PASSIVE_LEVEL. Each drive has its own, so a slow or stuck image holds up only its own
// drive. The system work queues are not used: paging I/O must not wait on them.
enum class QueuedWork : uintptr_t { kRead = 1, kToc = 2, kGeometry = 3, kRawRead = 4 };

// The worker of a new drive, its thread started; null when resources run out.
VelmorWorker *VelmorStartWorker(kernel::Device *device);
// Stops the worker: later requests are refused, the thread finishes the request it serves and
// ends, and what is still queued is completed with `status` (PASSIVE_LEVEL). Its memory stays
// until VelmorFreeWorker, called with the drive's last hold.
void VelmorStopWorker(VelmorWorker *worker, NtStatus status);
void VelmorFreeWorker(VelmorWorker *worker);
// Queues the request for the drive's thread and returns kPending; a stopped worker's drive has
// gone: kDeviceNotReady, and the caller completes the request. Up to DISPATCH_LEVEL.
NtStatus VelmorQueueRequest(kernel::Device *device, kernel::Request *request, QueuedWork work,
                            uintptr_t first = 0, uintptr_t second = 0);
// What a queued request carries besides its work.
uintptr_t VelmorQueuedArgument(kernel::Request *request, int which);
// Completes with kCancelled the requests queued through `file`: its last handle was closed.
void VelmorCancelFileRequests(VELMOR_DRIVE_EXTENSION *extension, const void *file);
// The thread's side: carries out one request and completes it.
void VelmorServeRead(kernel::Device *device, kernel::Request *request);
void VelmorServeImageAnswer(kernel::Device *device, kernel::Request *request, QueuedWork work);

// The answers of a plain ISO drive of `blocks` 2,048-byte blocks: kTocSize and kGeometrySize
// bytes. Fixed for an image the fixed answers cover; larger ones get a lead-out and a geometry
// that cover them.
void VelmorFillIsoToc(void *buffer, uint32_t blocks);
void VelmorFillIsoGeometry(void *buffer, uint32_t blocks);

NtStatus VelmorDispatchCreate(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchClose(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchCleanup(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchRead(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchDeviceControl(kernel::Device *device, kernel::Request *request);
// Whether the request is for a drive that has been removed; then `*status` is its answer: a
// file system still mounted on it is told to verify its volume (or, verifying, that the medium
// is gone), and the device's verify flag is set.
bool VelmorRefuseRemoved(kernel::Device *device, kernel::Request *request, NtStatus *status);

// The driver's start: handlers, control device, then the drives recorded in the registry.
NtStatus VelmorStartDriver(kernel::Driver *driver, const UString *registryPath);
// The driver's unload: every device removed (the drives' registry records stay), every thread
// ended, nothing left allocated. PASSIVE_LEVEL, in a system thread.
void VelmorUnloadDriver(kernel::Driver *driver);

} // namespace velmor
