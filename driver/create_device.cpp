// Creation and removal of the driver's devices.
#include "disc_answers.h"
#include "layout_drive.h"
#include "served_drive.h"
#include "trace.h"
#include "velmor_driver.h"
#include "velmor_identity.h"

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

NtStatus CreateDrive(Device *control, const UString *letterLink, const UString *imagePath,
                     uint32_t options, VelmorLayout *layout, FileIdentity *identity,
                     VelmorServed *served);

} // namespace

NtStatus VelmorCreateDevice(Device *control, const UString *letterLink, const UString *imagePath,
                            uint32_t options, FileIdentity *identity) {
  return CreateDrive(control, letterLink, imagePath, options, nullptr, identity, nullptr);
}

NtStatus VelmorCreateLayoutDrive(Device *control, const UString *letterLink, VelmorLayout *layout,
                                 uint32_t options, VelmorServed *served) {
  // The image name is the first file's: what a trace or a debugger shows for the drive.
  const UString &first = layout->files[0];
  const uint16_t prefixBytes = 4 * sizeof(char16_t);
  const UString path{uint16_t(first.Length - prefixBytes), uint16_t(first.Length - prefixBytes),
                     first.Buffer + 4};
  return CreateDrive(control, letterLink, &path, options, layout, nullptr, served);
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

// An image handle, closed on every way out but the drive's success.
class ImageOwner {
public:
  ImageOwner() = default;
  ImageOwner(const ImageOwner &) = delete;
  ImageOwner &operator=(const ImageOwner &) = delete;
  ~ImageOwner() {
    if (handle_)
      CloseFile(handle_);
  }
  FileHandle *Out() { return &handle_; }
  FileHandle Get() const { return handle_; }
  FileHandle Release() {
    FileHandle handle = handle_;
    handle_ = nullptr;
    return handle;
  }

private:
  FileHandle handle_ = nullptr;
};

// The 2,048-byte blocks of a classic image's disc data (from offset 0 of a .iso, after the
// 64 KiB header otherwise), rounded up; 0 when the file cannot say. Below 2^32 blocks for any
// file under 8 TiB; larger ones are capped.
uint32_t ImageBlocksOf(FileHandle image, bool isoFormat) {
  uint64_t size = 0;
  if (!IsSuccess(QueryFileSize(image, &size)))
    return 0;
  const uint64_t base = isoFormat ? 0 : kVelmorHeaderSize;
  if (size <= base)
    return 0;
  const uint64_t blocks = (size - base + kBytesPerSector - 1) >> 11;
  return blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(blocks);
}

// A VELMOR format image's table of contents, read once from its header through the drive's
// own open and parsed; null when pool runs out or the header holds none that makes sense.
VelmorHeaderDisc *ReadHeaderDisc(FileHandle image) {
  auto *disc =
      static_cast<VelmorHeaderDisc *>(AllocatePaged(sizeof(VelmorHeaderDisc), kPoolTagDdk));
  if (disc && (!IsSuccess(VELMORReadOffset(kVelmorTocOffset, disc->toc, kTocSize, image)) ||
               !VelmorParseToc(disc->toc, kTocSize, disc->tracks, &disc->view))) {
    FreePool(disc);
    disc = nullptr;
  }
  return disc;
}

// Makes the device object with the driver's characteristics and its security, nothing else.
NtStatus MakeDevice(Driver *driver, const UString *name, bool drive, Device **device) {
  // A drive is a removable CD-ROM: the file system then checks its medium (verify requests)
  // and lets go of a volume whose drive has been removed. Secure open: an open of a name below
  // the device (\\.\E:\x) gets the device's own check.
  const uint32_t characteristics =
      kFileReadOnlyDevice | kFileDeviceSecureOpen | (drive ? kFileRemovableMedia : 0u);
  NtStatus result =
      CreateDevice(driver, name, sizeof(VELMOR_DRIVE_EXTENSION),
                   drive ? kFileDeviceCdRom : kFileDeviceUnknown, characteristics, false, device);
  if (!IsSuccess(result)) {
    VelmorTrace("Couldn't create the device object");
    return result;
  }
  // Before any link exists: without a descriptor of its own the device would take the
  // default, which lets every user open it.
  // Everyone may read a drive and run what it holds, as a CD-ROM drive of the system's own; only
  // SYSTEM and the administrators may open the control device at all.
  result = SetDeviceSecurity(*device, drive ? kFileGenericRead | kFileGenericExecute : 0u);
  if (!IsSuccess(result)) {
    DeleteDevice(*device);
    *device = nullptr;
    return result;
  }
  SetDeviceFlags(*device, kDoDirectIo);
  SetAlignmentRequirement(*device, kFileWordAlignment);
  auto *extension = VelmorExtensionOf(*device);
  *extension = VELMOR_DRIVE_EXTENSION{};
  extension->DeviceObject = *device;
  extension->Self = *device;
  return status::kSuccess;
}

NtStatus CreateDrive(Device *control, const UString *letterLink, const UString *imagePath,
                     uint32_t options, VelmorLayout *layout, FileIdentity *identity,
                     VelmorServed *served) {
  LayoutOwner owner(layout);
  Driver *driver = DeviceDriver(control);
  // A path that does not fit behind "\??\" would give a drive whose every read fails.
  if (imagePath->Length / sizeof(char16_t) > kMaxImagePathUnits)
    return status::kInvalidParameter;

  UString imageName{};
  if (!TakeStore(&imageName, kImageStoreBytes, kImageStoreCapacity))
    return status::kInsufficientResources;
  AppendText(&imageName, u"\\??\\");
  AppendString(&imageName, imagePath);
  // The image is opened first, and once: the caller's right to read it is checked on the open
  // every later read uses, before anything is made. A layout's files are open already.
  ImageOwner image;
  if (!layout) {
    NtStatus opened = VelmorOpenImage(driver, &imageName, options, image.Out());
    // The identity of the very handle the drive will read through: what the add answers, and
    // what start-up compares with the recorded one, whatever the path leads to now.
    if (IsSuccess(opened) && identity)
      opened = VelmorCheckIdentity(image.Get(), options, identity);
    if (!IsSuccess(opened)) {
      ReleaseStore(&imageName);
      return opened;
    }
  }

  char16_t nameStore[kDeviceNameBytes / sizeof(char16_t)];
  UString deviceName{0, kDeviceNameBytes, nameStore};
  char16_t numberStore[12];
  UString number{0, sizeof(numberStore), numberStore};
  IntegerToString(VelmorLetterIndex(letterLink), 10, &number);
  AppendText(&deviceName, kDriveDeviceNamePrefix);
  AppendString(&deviceName, &number);

  Device *device = nullptr;
  NtStatus result = MakeDevice(driver, &deviceName, true, &device);
  if (!IsSuccess(result)) {
    ReleaseStore(&imageName);
    return result;
  }
  auto *extension = VelmorExtensionOf(device);
  extension->Control = VelmorExtensionOf(control);
  extension->ImageFileName = imageName;
  // Before the link: once it exists, requests may arrive.
  extension->Layout = layout;
  extension->LayoutLeadOut = layout ? layout->leadOut : 0;
  extension->IsoFormat = IsIsoFormat(imagePath);
  extension->ImageBlocks = layout ? 0 : ImageBlocksOf(image.Get(), extension->IsoFormat);
  extension->DriveIndex = VelmorLetterIndex(letterLink);
  if (!layout && !extension->IsoFormat)
    extension->HeaderDisc = ReadHeaderDisc(image.Get());
  VelmorTrace(extension->IsoFormat ? "Setting Image Format to ISO"
                                   : "Setting Image Format to VELMOR");

  extension->Worker = VelmorStartWorker(device);
  // A served drive is listed before its link exists: a SERVE must find the question of the
  // first read that follows the link.
  extension->Served = served;
  if (served)
    VelmorListServed(extension->Control, served);
  const bool ready =
      extension->Worker && TakeStore(&extension->DosLinkName, kLinkStoreBytes, kLinkStoreCapacity);
  if (ready) {
    // Everything a request touches is in place before anyone can open the device: the image,
    // the hold, the worker. The initializing flag goes before the link, or an open that follows
    // the link's appearance at once fails.
    extension->Image = image.Get();
    extension->DriveUsers = 1; // the device's own hold, given up by its removal
    if (options & kClearInitializing)
      ClearDeviceFlags(device, kDoDeviceInitializing);
    // A refused link (the letter belongs to another device) fails the add; the link is the
    // last step, so the undo below never has one to delete.
    result = CreateDriveLink(&extension->DosLinkName, letterLink, &deviceName);
  } else {
    result = status::kInsufficientResources;
  }

  if (!IsSuccess(result)) {
    extension->Image = nullptr; // the owner closes it
    extension->DriveUsers = 0;
    if (served) {
      VelmorUnlistServed(extension->Control, served);
      extension->Served = nullptr; // the caller's again
    }
    if (extension->Worker) {
      VelmorStopWorker(extension->Worker, status::kDeviceNotReady);
      VelmorFreeWorker(extension->Worker);
      extension->Worker = nullptr;
    }
    ReleaseStore(&extension->DosLinkName);
    ReleaseStore(&extension->ImageFileName);
    if (extension->HeaderDisc)
      FreePool(extension->HeaderDisc);
    extension->Layout = nullptr; // the owner frees it, closing its files
    DeleteDevice(device);
    return result;
  }
  owner.Release(); // the drive's now, freed with its image name
  image.Release();
  // A drive made at this letter settles why start-up had not made one.
  extension->Control->SkipReasons[extension->DriveIndex] = uint8_t(SkipReason::kNone);
  return status::kSuccess;
}

} // namespace

NtStatus VelmorCreateControlDevice(Driver *driver, Device **control) {
  *control = nullptr;
  UString deviceName;
  InitString(&deviceName, kControlDeviceName);
  Device *device = nullptr;
  NtStatus result = MakeDevice(driver, &deviceName, false, &device);
  if (!IsSuccess(result))
    return result;
  auto *extension = VelmorExtensionOf(device);
  extension->IsControl = 1;
  extension->Control = extension;
  extension->RemovedLock = NewSpinLock();
  extension->ServedLock = NewSpinLock();
  InitRequestQueue(&extension->ServeQueue);
  if (!extension->RemovedLock || !extension->ServedLock ||
      !TakeStore(&extension->DosLinkName, kLinkStoreBytes, kLinkStoreCapacity)) {
    result = status::kInsufficientResources;
  } else {
    result = CreateDriveLink(&extension->DosLinkName, nullptr, &deviceName);
  }
  if (!IsSuccess(result)) {
    ReleaseStore(&extension->DosLinkName);
    if (extension->RemovedLock)
      FreeSpinLock(extension->RemovedLock);
    if (extension->ServedLock)
      FreeSpinLock(extension->ServedLock);
    DeleteDevice(device);
    return result;
  }
  extension->DriveUsers = 1;
  *control = device;
  return status::kSuccess;
}

void VelmorRemoveDevice(VELMOR_DRIVE_EXTENSION *extension) {
  // Removes may arrive at once through several handles; the one that takes the device object
  // does the work, the others find it gone.
  Device *device = __atomic_exchange_n(&extension->DeviceObject, nullptr, __ATOMIC_ACQ_REL);
  if (!device)
    return;
  // A volume of the file system on the drive must verify before it reads again; its verify
  // then finds no medium and it lets go.
  SetDeviceFlags(device, kDoVerifyVolume);
  if (extension->DosLinkName.Buffer) {
    DeleteSymbolicLink(&extension->DosLinkName);
    ReleaseStore(&extension->DosLinkName);
  }
  // A served drive's thread stops waiting for its server, and no SERVE finds the drive again.
  if (extension->Served)
    VelmorUnlistServed(extension->Control, extension->Served);
  // The thread finishes the request it serves; what still waits is failed. Only then are the
  // image's handles closed: no read runs any more.
  if (extension->Worker)
    VelmorStopWorker(extension->Worker, status::kDeviceNotReady);
  if (extension->Image) {
    CloseFile(extension->Image);
    extension->Image = nullptr;
  }
  if (extension->Layout)
    VelmorCloseLayoutFiles(extension->Layout);
  // Handles opened before the removal keep the record alive. An answer given from the layout
  // through another handle may still hold it, so the name and layout go with the last hold;
  // requests that arrive later find the drive removed.
  VelmorReleaseDrive(extension);
  // The driver's own reference keeps the device's memory after the deletion, so that it can
  // still ask whether anything else holds the device (see VelmorSettleRemovedDrives). The
  // control device's record outlives every drive; its own goes with its deletion, so nothing
  // below reads the record after it.
  VELMOR_DRIVE_EXTENSION *control = extension->IsControl ? nullptr : extension->Control;
  if (control) {
    ReferenceDevice(device);
    const Irql previous = AcquireSpinLock(control->RemovedLock);
    extension->NextRemoved = control->RemovedDrives;
    control->RemovedDrives = extension;
    ReleaseSpinLock(control->RemovedLock, previous);
  }
  DeleteDevice(device);
  // Drives removed earlier that nothing holds any more are let go of at once, so that mounts
  // and ejects without an upgrade between them keep no device objects.
  if (control)
    VelmorSettleRemovedDrives(control, false);
}

uint32_t VelmorSettleRemovedDrives(VELMOR_DRIVE_EXTENSION *control, bool all) {
  uint32_t held = 0;
  VELMOR_DRIVE_EXTENSION *settled = nullptr;
  const Irql previous = AcquireSpinLock(control->RemovedLock);
  for (VELMOR_DRIVE_EXTENSION **link = &control->RemovedDrives; *link;) {
    VELMOR_DRIVE_EXTENSION *drive = *link;
    if (!all && DeviceReferenced(drive->Self)) {
      held |= 1u << drive->DriveIndex;
      link = &drive->NextRemoved;
    } else {
      *link = drive->NextRemoved;
      drive->NextRemoved = settled;
      settled = drive;
    }
  }
  ReleaseSpinLock(control->RemovedLock, previous);
  // Released outside the lock: the last release frees the device, extension included.
  while (settled) {
    VELMOR_DRIVE_EXTENSION *next = settled->NextRemoved;
    ReleaseDevice(settled->Self);
    settled = next;
  }
  return held;
}

bool VelmorHoldDrive(VELMOR_DRIVE_EXTENSION *extension) {
  uint32_t users = __atomic_load_n(&extension->DriveUsers, __ATOMIC_ACQUIRE);
  while (users != 0)
    if (__atomic_compare_exchange_n(&extension->DriveUsers, &users, users + 1, true,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
      return true;
  return false;
}

void VelmorReleaseDrive(VELMOR_DRIVE_EXTENSION *extension) {
  if (__atomic_sub_fetch(&extension->DriveUsers, 1, __ATOMIC_ACQ_REL) != 0)
    return;
  ReleaseStore(&extension->ImageFileName);
  if (VelmorLayout *layout = extension->Layout) {
    extension->Layout = nullptr;
    VelmorFreeLayout(layout);
  }
  if (VelmorWorker *worker = extension->Worker) {
    extension->Worker = nullptr;
    VelmorFreeWorker(worker);
  }
  if (VelmorHeaderDisc *disc = extension->HeaderDisc) {
    extension->HeaderDisc = nullptr;
    FreePool(disc);
  }
  if (VelmorServed *served = extension->Served) {
    extension->Served = nullptr;
    VelmorReleaseServed(served);
  }
}

} // namespace velmor
