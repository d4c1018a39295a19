// Request logic of the virtual CD-ROM driver: device creation, the three dispatch routines and
// start-up. Written against kernel_seam.h only, so the same sources build into velmor.sys and
// into the host tests.
#pragma once

#include "kernel_seam.h"

namespace velmor {

// Carried by every device of the driver, the control device included.
struct VELMOR_DRIVE_EXTENSION {
  kernel::Device *DeviceObject;
  UString ImageFileName; // "\??\" + image path; store 1,000 bytes, capacity 998
  UString DosLinkName;   // "\DosDevices\L:" or "\DosDevices\VELMOR"; store 86, capacity 84
  uint32_t IsoFormat;    // 1: disc data from file offset 0; 0: from offset 64 KiB
  // Holds on ImageFileName's store: one for the device until it is removed, one for each
  // request reading through it. The last to let go frees the store.
  uint32_t ImageNameUsers;
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

// Creates the control device (letterLink null) or the drive device for letterLink ("L:").
// Leaves nothing behind when it fails.
NtStatus VelmorCreateDevice(kernel::Driver *driver, const UString *letterLink,
                            const UString *imagePath, bool clearInitializing);
// Deletes a device's link and the device; a second call for the same record does nothing,
// even when both run at once.
void VelmorRemoveDevice(VELMOR_DRIVE_EXTENSION *extension);
// A hold on the image name for a request that reads through it; false once the drive has been
// removed and the name may be gone.
bool VelmorHoldImageName(VELMOR_DRIVE_EXTENSION *extension);
void VelmorReleaseImageName(VELMOR_DRIVE_EXTENSION *extension);

// Opens ntFileName, reads length bytes at fileOffset into buffer, closes.
NtStatus VELMORReadOffset(int64_t fileOffset, void *buffer, uint32_t length,
                          const UString *ntFileName);
// VELMORReadOffset on the drive's image, holding its name for the read: a remove that arrives
// meanwhile through another handle cannot free it. A removed drive is not ready.
NtStatus VelmorReadImage(VELMOR_DRIVE_EXTENSION *extension, int64_t fileOffset, void *buffer,
                         uint32_t length);

// The fixed answers of a plain ISO drive: kTocSize and kGeometrySize bytes.
void VelmorFillIsoToc(void *buffer);
void VelmorFillIsoGeometry(void *buffer);

NtStatus VelmorDispatchCreate(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchRead(kernel::Device *device, kernel::Request *request);
NtStatus VelmorDispatchDeviceControl(kernel::Device *device, kernel::Request *request);

// The driver's start: handlers, control device, then the drives recorded in the registry.
NtStatus VelmorStartDriver(kernel::Driver *driver, const UString *registryPath);

} // namespace velmor
