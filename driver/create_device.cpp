// Creation and removal of the driver's devices.
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {
namespace {

using namespace kernel;

// The image format rule, on the image path as given (without "\??\"). The kernel's
// case-insensitive comparison decides; a path shorter than the suffix never reaches it.
uint32_t IsIsoFormat(const UString *imagePath) {
  const uint16_t suffixBytes = kIsoSuffixUnits * sizeof(char16_t);
  if (imagePath->Length < suffixBytes)
    return 0;
  UString tail{suffixBytes, suffixBytes,
               imagePath->Buffer + (imagePath->Length - suffixBytes) / sizeof(char16_t)};
  UString suffix;
  InitString(&suffix, kIsoSuffix);
  return CompareStrings(&tail, &suffix, true) == 0 ? 1 : 0;
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

} // namespace

NtStatus VelmorCreateDevice(Driver *driver, const UString *letterLink, const UString *imagePath,
                            bool clearInitializing) {
  // A path that does not fit behind "\??\" would give a drive whose every read fails.
  if (imagePath->Length / sizeof(char16_t) > kMaxImagePathUnits)
    return status::kInvalidParameter;

  char16_t nameStore[kDeviceNameBytes / sizeof(char16_t)];
  UString deviceName{0, kDeviceNameBytes, nameStore};
  AppendText(&deviceName, kDriveDeviceNamePrefix);
  uint32_t deviceType = kFileDeviceUnknown;
  if (letterLink) {
    char16_t numberStore[12];
    UString number{0, sizeof(numberStore), numberStore};
    IntegerToString(DriveNumber(letterLink->Buffer[0]), 10, &number);
    AppendString(&deviceName, &number);
    deviceType = kFileDeviceCdRom;
  }

  Device *device = nullptr;
  NtStatus result = CreateDevice(driver, &deviceName, sizeof(VELMOR_DRIVE_EXTENSION), deviceType,
                                 kFileReadOnlyDevice, false, &device);
  if (!IsSuccess(result)) {
    VelmorTrace("Couldn't create the device object");
    return result;
  }
  SetDeviceFlags(device, kDoDirectIo);
  SetAlignmentRequirement(device, kFileWordAlignment);

  auto *extension = static_cast<VELMOR_DRIVE_EXTENSION *>(DeviceExtension(device));
  *extension = VELMOR_DRIVE_EXTENSION{};
  extension->DeviceObject = device;

  bool linked = false;
  if (!TakeStore(&extension->DosLinkName, kLinkStoreBytes, kLinkStoreCapacity)) {
    result = status::kInsufficientResources;
  } else {
    AppendText(&extension->DosLinkName, kDosDevicesPrefix);
    if (letterLink)
      AppendString(&extension->DosLinkName, letterLink);
    else
      AppendText(&extension->DosLinkName, u"VELMOR");
    // A refused link (the letter belongs to another device) is remembered; the stores are
    // still set up so that the undo below is the same for every failure.
    result = CreateSymbolicLink(&extension->DosLinkName, &deviceName);
    linked = IsSuccess(result);
  }

  if (TakeStore(&extension->ImageFileName, kImageStoreBytes, kImageStoreCapacity)) {
    AppendText(&extension->ImageFileName, u"\\??\\");
    AppendString(&extension->ImageFileName, imagePath);
  } else if (IsSuccess(result)) {
    result = status::kInsufficientResources;
  }

  extension->IsoFormat = IsIsoFormat(imagePath);
  VelmorTrace(extension->IsoFormat ? "Setting Image Format to ISO"
                                   : "Setting Image Format to VELMOR");

  if (!IsSuccess(result)) {
    if (linked)
      DeleteSymbolicLink(&extension->DosLinkName);
    ReleaseStore(&extension->DosLinkName);
    ReleaseStore(&extension->ImageFileName);
    DeleteDevice(device);
    return result;
  }
  if (clearInitializing)
    ClearDeviceFlags(device, kDoDeviceInitializing);
  return status::kSuccess;
}

void VelmorRemoveDevice(VELMOR_DRIVE_EXTENSION *extension) {
  if (extension->DosLinkName.Buffer) {
    DeleteSymbolicLink(&extension->DosLinkName);
    ReleaseStore(&extension->DosLinkName);
  }
  // Handles opened before the removal keep the record alive; with no image name their reads
  // fail as "not ready" instead of reaching a freed store.
  ReleaseStore(&extension->ImageFileName);
  Device *device = extension->DeviceObject;
  extension->DeviceObject = nullptr;
  if (device)
    DeleteDevice(device);
}

} // namespace velmor
