// Request logic of the virtual CD-ROM driver: device creation, the three dispatch routines and
// start-up. Written against kernel_seam.h only, so the same sources build into velmor.sys and
// into the host tests.
#pragma once

#include "kernel_seam.h"

namespace velmor {

struct VelmorWorkQueue;
struct VelmorLayout;

// Carried by every device of the driver, the control device included. The record lies in the
// device object, in nonpaged memory; its two strings' stores are paged.
struct VELMOR_DRIVE_EXTENSION {
  kernel::Device *DeviceObject; // null once the drive has been removed
  VelmorWorkQueue *Queue;       // the driver's one worker, shared by all devices
  UString ImageFileName;        // "\??\" + image path; store 1,000 bytes, capacity 998
  UString DosLinkName;          // "\DosDevices\L:" or "\DosDevices\VELMOR"; store 86, capacity 84
  uint32_t IsoFormat;           // 1: disc data from file offset 0; 0: from offset 64 KiB
  // Holds on ImageFileName's store (and Layout): one for the device until it is removed, one
  // for each request reading through it. The last to let go frees the stores.
  uint32_t ImageNameUsers;
  // A layout drive's tracks and files (paged), read only under a hold; null for the classic
  // drives. ImageFileName then names the first file.
  VelmorLayout *Layout;
  // Set once at creation and never changed, so it may be read without a hold: 0 for a classic
  // drive, else the first block of the layout's lead-out.
  uint32_t LayoutLeadOut;
};

inline constexpr uint16_t kImageStoreBytes = 1000;
inline constexpr uint16_t kImageStoreCapacity = 998;
inline constexpr uint16_t kLinkStoreBytes = 86;
inline constexpr uint16_t kLinkStoreCapacity = 84;
inline constexpr uint16_t kDeviceNameBytes = 198;
// What fits behind the four code units of "\??\" in ImageFileName.
inline constexpr uint32_t kMaxImagePathUnits = kImageStoreCapacity / 2 - 4;
// Image path of the control device: it never names a file that can be opened.
inline constexpr char16_t kControlPlaceholderPath[] = u"\\??\\c:\\notarealpath.iso";

// What VelmorCreateDevice does beyond making the device.
enum VelmorCreateOptions : uint32_t {
  // Drives made from a control request; the system clears the flag of devices made at start.
  kClearInitializing = 1,
  // Open the image once with the rights of the calling thread: a caller may mount only a file
  // it may read itself. Never for the drives re-created at start, in the system's context.
  kCheckCallerAccess = 2,
};

// The record of a device of the driver.
inline VELMOR_DRIVE_EXTENSION *VelmorExtensionOf(kernel::Device *device) {
  return static_cast<VELMOR_DRIVE_EXTENSION *>(kernel::DeviceExtension(device));
}

// Creates the control device (letterLink null) or the drive device for letterLink ("L:").
// Leaves nothing behind when it fails; `created`, when given, receives the device.
NtStatus VelmorCreateDevice(kernel::Driver *driver, VelmorWorkQueue *queue,
                            const UString *letterLink, const UString *imagePath, uint32_t options,
                            kernel::Device **created = nullptr);
// Creates the drive for letterLink over `layout` (VelmorNewLayout's), which it takes over: the
// drive frees it, or this call does when it fails.
NtStatus VelmorCreateLayoutDrive(kernel::Driver *driver, VelmorWorkQueue *queue,
                                 const UString *letterLink, VelmorLayout *layout, uint32_t options);
// Deletes a device's link and the device, and fails the requests still queued for it; a
// second call for the same record does nothing, even when both run at once.
void VelmorRemoveDevice(VELMOR_DRIVE_EXTENSION *extension);
inline bool VelmorDriveRemoved(const VELMOR_DRIVE_EXTENSION *extension) {
  return __atomic_load_n(&extension->DeviceObject, __ATOMIC_ACQUIRE) == nullptr;
}
// A hold on the image name for a request that reads through it; false once the drive has been
// removed and the name may be gone.
bool VelmorHoldImageName(VELMOR_DRIVE_EXTENSION *extension);
void VelmorReleaseImageName(VELMOR_DRIVE_EXTENSION *extension);

// Opens ntFileName, reads length bytes at fileOffset into buffer, closes. Bytes past the
// file's end are zeros, so a read cut short never hands back what the buffer held before.
// PASSIVE_LEVEL only: the driver's thread calls it.
NtStatus VELMORReadOffset(int64_t fileOffset, void *buffer, uint32_t length,
                          const UString *ntFileName);
// VELMORReadOffset on the drive's image, holding its name for the read: a remove that arrives
// meanwhile through another handle cannot free it. A removed drive is not ready.
NtStatus VelmorReadImage(VELMOR_DRIVE_EXTENSION *extension, int64_t fileOffset, void *buffer,
                         uint32_t length);

// ---- The worker -----------------------------------------------------------------------------
// The file system and the memory manager send reads at APC_LEVEL, in any thread, and file
// routines may run only at PASSIVE_LEVEL. Every request that reads the image is therefore
// marked pending and queued to one system thread of the driver's own, which serves the queue
// in order at PASSIVE_LEVEL. The system work queues are not used: paging I/O must not wait on
// them.
enum class QueuedWork : uintptr_t { kRead = 1, kToc = 2, kGeometry = 3, kRawRead = 4 };

// The queue, its lock and event; the thread is started by VelmorStartWorker.
VelmorWorkQueue *VelmorNewWorkQueue();
void VelmorFreeWorkQueue(VelmorWorkQueue *queue);
NtStatus VelmorStartWorker(VelmorWorkQueue *queue);
// Marks the request pending and hands it to the thread; returns kPending. The device is
// referenced until the request has been completed.
NtStatus VelmorQueueRequest(kernel::Device *device, kernel::Request *request, QueuedWork work);
// Completes every request still queued for `device` with kDeviceNotReady.
void VelmorFailQueued(VelmorWorkQueue *queue, kernel::Device *device);
// The thread's side: carries out one request and completes it.
void VelmorServeRead(kernel::Device *device, kernel::Request *request);
void VelmorServeImageAnswer(kernel::Device *device, kernel::Request *request, QueuedWork work);

// The fixed answers of a plain ISO drive: kTocSize and kGeometrySize bytes.
void VelmorFillIsoToc(void *buffer);
void VelmorFillIsoGeometry(void *buffer);

NtStatus VelmorDispatchCreate(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchRead(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchDeviceControl(kernel::Device *device, kernel::Request *request);

// The driver's start: handlers, control device, then the drives recorded in the registry.
NtStatus VelmorStartDriver(kernel::Driver *driver, const UString *registryPath);

} // namespace velmor
