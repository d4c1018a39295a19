// Creation and removal of the driver's devices.
#include "layout_drive.h"
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {
namespace {

using namespace kernel;

// The image format rule, on the image path as given (without "\??\"), with the kernel's
// case-insensitive Unicode comparison.
uint32_t IsIsoFormat(const UString *imagePath) {
  auto kernelEqual = [](const char16_t *tail, const char16_t *suffix, size_t units) {
    const uint16_t bytes = uint16_t(units * sizeof(char16_t));
    const UString a{bytes, bytes, const_cast<char16_t *>(tail)};
    const UString b{bytes, bytes, const_cast<char16_t *>(suffix)};
    return CompareStrings(&a, &b, true) == 0;
  };
  return IsIsoImagePath(imagePath->Buffer, imagePath->Length / sizeof(char16_t), kernelEqual);
}

// Takes a zeroed paged-pool store of `bytes` for `string`, recording `capacity`.
bool TakeStore(UString *string, uint16_t bytes, uint16_t capacity) {
  auto *store = static_cast<char16_t *>(AllocatePaged(bytes, kPoolTagDdk));
  if (!store)
    return false;
  for (uint16_t i = 0; i < bytes / sizeof(char16_t); ++i)
    store[i] = 0;
  string->Buffer = store;
  string->Length = 0;
  string->MaximumLength = capacity;
  return true;
}

void ReleaseStore(UString *string) {
  char16_t *store = string->Buffer;
  string->Buffer = nullptr;
  string->Length = 0;
  string->MaximumLength = 0;
  if (store)
    FreePool(store);
}

// Makes the device's link in the global directory, so that every logon session sees the
// drive; where the system has no such directory, under the plain name. The name made stays in
// `link` for the removal.
NtStatus CreateDriveLink(UString *link, const UString *letterLink, const UString *deviceName) {
  NtStatus result = status::kObjectPathNotFound;
  const bool tries[] = {true, false};
  for (bool global : tries) {
    if (result != status::kObjectPathNotFound && result != status::kObjectNameNotFound)
      break;
    link->Length = 0;
    if (letterLink) {
      AppendText(link, global ? kGlobalDosDevicesPrefix : kDosDevicesPrefix);
      AppendString(link, letterLink);
    } else {
      AppendText(link, global ? kGlobalControlLinkName : kControlLinkName);
    }
    result = CreateSymbolicLink(link, deviceName);
  }
  return result;
}

NtStatus CreateDrive(Driver *driver, VelmorWorkQueue *queue, const UString *letterLink,
                     const UString *imagePath, uint32_t options, Device **created,
                     VelmorLayout *layout);

} // namespace

NtStatus VelmorCreateDevice(Driver *driver, VelmorWorkQueue *queue, const UString *letterLink,
                            const UString *imagePath, uint32_t options, Device **created) {
  return CreateDrive(driver, queue, letterLink, imagePath, options, created, nullptr);
}

NtStatus VelmorCreateLayoutDrive(Driver *driver, VelmorWorkQueue *queue, const UString *letterLink,
                                 VelmorLayout *layout, uint32_t options) {
  // The image name is the first file's: what a trace or a debugger shows for the drive.
  const UString &first = layout->files[0];
  const uint16_t prefixBytes = 4 * sizeof(char16_t);
  const UString path{uint16_t(first.Length - prefixBytes), uint16_t(first.Length - prefixBytes),
                     first.Buffer + 4};
  return CreateDrive(driver, queue, letterLink, &path, options, nullptr, layout);
}

namespace {

// A layout handed to CreateDrive, freed on every way out but the drive's success.
class LayoutOwner {
public:
  explicit LayoutOwner(VelmorLayout *layout) : layout_(layout) {}
  LayoutOwner(const LayoutOwner &) = delete;
  LayoutOwner &operator=(const LayoutOwner &) = delete;
  ~LayoutOwner() {
    if (layout_)
      VelmorFreeLayout(layout_);
  }
  void Release() { layout_ = nullptr; }

private:
  VelmorLayout *layout_;
};

NtStatus CreateDrive(Driver *driver, VelmorWorkQueue *queue, const UString *letterLink,
                     const UString *imagePath, uint32_t options, Device **created,
                     VelmorLayout *layout) {
  LayoutOwner owner(layout);
  // A path that does not fit behind "\??\" would give a drive whose every read fails.
  if (imagePath->Length / sizeof(char16_t) > kMaxImagePathUnits)
    return status::kInvalidParameter;

  // The image's name first: the caller's right to read it is checked before anything is made.
  UString imageName{};
  if (!TakeStore(&imageName, kImageStoreBytes, kImageStoreCapacity))
    return status::kInsufficientResources;
  AppendText(&imageName, u"\\??\\");
  AppendString(&imageName, imagePath);
  if (options & kCheckCallerAccess) {
    // A missing file still makes a drive; a file the caller may not read does not.
    if (CheckCallerMayRead(&imageName) == status::kAccessDenied) {
      ReleaseStore(&imageName);
      return status::kAccessDenied;
    }
  }

  char16_t nameStore[kDeviceNameBytes / sizeof(char16_t)];
  UString deviceName{0, kDeviceNameBytes, nameStore};
  uint32_t deviceType = kFileDeviceUnknown;
  if (letterLink) {
    char16_t numberStore[12];
    UString number{0, sizeof(numberStore), numberStore};
    IntegerToString(DriveNumber(letterLink->Buffer[0]), 10, &number);
    AppendText(&deviceName, kDriveDeviceNamePrefix);
    AppendString(&deviceName, &number);
    deviceType = kFileDeviceCdRom;
  } else {
    AppendText(&deviceName, kControlDeviceName);
  }

  Device *device = nullptr;
  // Secure open: an open of a name below the device (\\.\E:\x) gets the device's own check.
  NtStatus result = CreateDevice(driver, &deviceName, sizeof(VELMOR_DRIVE_EXTENSION), deviceType,
                                 kFileReadOnlyDevice | kFileDeviceSecureOpen, false, &device);
  if (!IsSuccess(result)) {
    VelmorTrace("Couldn't create the device object");
    ReleaseStore(&imageName);
    return result;
  }
  SetDeviceFlags(device, kDoDirectIo);
  SetAlignmentRequirement(device, kFileWordAlignment);

  auto *extension = VelmorExtensionOf(device);
  *extension = VELMOR_DRIVE_EXTENSION{};
  extension->DeviceObject = device;
  extension->Queue = queue;
  extension->ImageFileName = imageName;
  // Before the link: once it exists, requests may arrive.
  extension->Layout = layout;
  extension->LayoutLeadOut = layout ? layout->leadOut : 0;

  bool linked = false;
  if (!TakeStore(&extension->DosLinkName, kLinkStoreBytes, kLinkStoreCapacity)) {
    result = status::kInsufficientResources;
  } else {
    // A refused link (the letter belongs to another device) is remembered; the stores are
    // still set up so that the undo below is the same for every failure.
    result = CreateDriveLink(&extension->DosLinkName, letterLink, &deviceName);
    linked = IsSuccess(result);
  }

  extension->IsoFormat = IsIsoFormat(imagePath);
  VelmorTrace(extension->IsoFormat ? "Setting Image Format to ISO"
                                   : "Setting Image Format to VELMOR");

  if (!IsSuccess(result)) {
    if (linked)
      DeleteSymbolicLink(&extension->DosLinkName);
    ReleaseStore(&extension->DosLinkName);
    ReleaseStore(&extension->ImageFileName);
    extension->Layout = nullptr; // the owner frees it
    DeleteDevice(device);
    return result;
  }
  owner.Release();               // the drive's now, freed with its image name
  extension->ImageNameUsers = 1; // the device's own hold, given up by its removal
  if (options & kClearInitializing)
    ClearDeviceFlags(device, kDoDeviceInitializing);
  if (created)
    *created = device;
  return status::kSuccess;
}

} // namespace

void VelmorRemoveDevice(VELMOR_DRIVE_EXTENSION *extension) {
  // Removes may arrive at once through several handles; the one that takes the device object
  // does the work, the others find it gone.
  Device *device = __atomic_exchange_n(&extension->DeviceObject, nullptr, __ATOMIC_ACQ_REL);
  if (!device)
    return;
  if (extension->DosLinkName.Buffer) {
    DeleteSymbolicLink(&extension->DosLinkName);
    ReleaseStore(&extension->DosLinkName);
  }
  // Requests still waiting for the thread are failed now; one the thread is serving holds a
  // reference on the device, which keeps the record until that request is complete.
  if (extension->Queue)
    VelmorFailQueued(extension->Queue, device);
  // Handles opened before the removal keep the record alive. A read already running on one
  // of them may still be passing the image name to the file open, so the name goes with the
  // last hold; reads that arrive later find no hold to take and fail as "not ready".
  VelmorReleaseImageName(extension);
  DeleteDevice(device);
}

bool VelmorHoldImageName(VELMOR_DRIVE_EXTENSION *extension) {
  uint32_t users = __atomic_load_n(&extension->ImageNameUsers, __ATOMIC_ACQUIRE);
  while (users != 0)
    if (__atomic_compare_exchange_n(&extension->ImageNameUsers, &users, users + 1, true,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
      return true;
  return false;
}

void VelmorReleaseImageName(VELMOR_DRIVE_EXTENSION *extension) {
  if (__atomic_sub_fetch(&extension->ImageNameUsers, 1, __ATOMIC_ACQ_REL) != 0)
    return;
  ReleaseStore(&extension->ImageFileName);
  if (VelmorLayout *layout = extension->Layout) {
    extension->Layout = nullptr;
    VelmorFreeLayout(layout);
  }
}

} // namespace velmor
