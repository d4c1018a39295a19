// Start of the driver: request handlers, the control device, then every drive recorded in the
// registry table, in letter order.
#include "layout_drive.h"
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

namespace {

// What start-up reads the registry with: the two keys' paths and room for one layout record
// (far too large for the stack), all paged.
struct StartStores {
  char16_t *parametersPath;
  char16_t *layoutsPath;
  LayoutRecord *record;
};

// The service key's path with `suffix` (zero-ended) appended, in paged pool.
char16_t *KeyPath(const UString *registryPath, const char16_t *suffix, uint32_t suffixUnits) {
  const uint32_t pathUnits = registryPath->Length / sizeof(char16_t);
  auto *path = static_cast<char16_t *>(
      AllocatePaged((pathUnits + suffixUnits) * sizeof(char16_t), kPoolTagDdk));
  if (!path)
    return nullptr;
  for (uint32_t i = 0; i < pathUnits; ++i)
    path[i] = registryPath->Buffer[i];
  for (uint32_t i = 0; i < suffixUnits; ++i)
    path[pathUnits + i] = suffix[i];
  return path;
}

void FreeStores(StartStores &stores) {
  if (stores.parametersPath)
    FreePool(stores.parametersPath);
  if (stores.layoutsPath)
    FreePool(stores.layoutsPath);
  if (stores.record)
    FreePool(stores.record);
}

// The layout recorded for `letter`, when there is one that passes the structural check for
// this letter; null otherwise (and when pool runs out), and the classic rule applies. The
// files are not looked at: an image that is missing or shorter now reads as zeros.
VelmorLayout *RecordedLayout(const StartStores &stores, const char16_t *valueName,
                             char16_t letter) {
  uint32_t got = 0;
  if (!IsSuccess(QueryRegistryBinary(stores.layoutsPath, valueName, stores.record,
                                     kLayoutRecordSize, &got)) ||
      got != kLayoutRecordSize)
    return nullptr;
  if (CheckLayoutRecord(*stores.record) != LayoutFault::kValid || stores.record->letter != letter)
    return nullptr;
  return VelmorNewLayout(*stores.record);
}

// Re-creates the drive recorded under `letter`, when there is one that can be made.
void RestoreDrive(Driver *driver, VelmorWorkQueue *queue, const StartStores &stores,
                  char16_t letter, UString *pathString) {
  const char16_t *parametersPath = stores.parametersPath;
  const char16_t valueName[2] = {letter, 0};
  pathString->Length = 0;
  // A failed query (no key, no value under Wine, a value too long for the store) and an empty
  // value both mean there is no drive for this letter.
  if (!IsSuccess(QueryRegistryString(parametersPath, valueName, pathString))) {
    VelmorTrace("Error quering Y string");
    return;
  }
  VelmorTrace("Success quering Y string");
  if (pathString->Length == 0)
    return;
  VelmorTrace("Y string length > 0");
  char16_t linkStore[3] = {letter, u':', 0};
  UString letterLink{2 * sizeof(char16_t), sizeof(linkStore), linkStore};
  // The string stays the path the user chose (a cue sheet, say); a layout beside it says how
  // the disc's sectors lie.
  if (VelmorLayout *layout = RecordedLayout(stores, valueName, letter)) {
    VelmorCreateLayoutDrive(driver, queue, &letterLink, layout, 0);
    return;
  }
  // A drive that cannot be made (letter taken, path too long) is skipped.
  // Made in the system's context, for the administrator who mounted it: no caller to check.
  VelmorCreateDevice(driver, queue, &letterLink, pathString, 0);
}

} // namespace

NtStatus VelmorStartDriver(Driver *driver, const UString *registryPath) {
  VelmorTrace("-----Loading Driver-----");
  // Suffix lengths with their zeros.
  StartStores stores{
      KeyPath(registryPath, kParametersSubkey, sizeof(kParametersSubkey) / sizeof(char16_t)),
      KeyPath(registryPath, kLayoutsKeySuffix, sizeof(kLayoutsKeySuffix) / sizeof(char16_t)),
      static_cast<LayoutRecord *>(AllocatePaged(kLayoutRecordSize, kPoolTagDdk))};
  VelmorWorkQueue *queue = nullptr;
  if (stores.parametersPath && stores.layoutsPath && stores.record)
    queue = VelmorNewWorkQueue();
  if (!queue) {
    FreeStores(stores);
    return status::kInsufficientResources;
  }

  InstallDispatchHandlers(driver);

  const UString placeholder{sizeof(kControlPlaceholderPath) - sizeof(char16_t),
                            sizeof(kControlPlaceholderPath),
                            const_cast<char16_t *>(kControlPlaceholderPath)};
  Device *control = nullptr;
  NtStatus result = VelmorCreateDevice(driver, queue, nullptr, &placeholder, 0, &control);
  // The thread is started last: a driver that fails to load is unloaded, and no thread of
  // its may run on. Nor may a device: without the control device or the thread, the load
  // fails and no drive is made.
  if (IsSuccess(result)) {
    result = VelmorStartWorker(queue);
    if (!IsSuccess(result))
      VelmorRemoveDevice(VelmorExtensionOf(control));
  }
  if (IsSuccess(result)) {
    char16_t pathStore[kImageStoreBytes / sizeof(char16_t)];
    UString pathString{0, kImageStoreCapacity, pathStore};
    for (char16_t letter = u'A'; letter <= u'Z'; ++letter)
      RestoreDrive(driver, queue, stores, letter, &pathString);
  } else {
    VelmorFreeWorkQueue(queue);
  }
  FreeStores(stores);
  return result;
}

} // namespace velmor
