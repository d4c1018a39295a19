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

// What the registry holds for a letter beside its path.
enum class Recorded { kNoLayout, kLayout, kBroken };

// The layout recorded for `letter`, copied into `*layout`, when there is one. A value that is
// there but cannot be made into a drive (wrong size, fails the structural check, another
// letter's, no pool) is kBroken: such a drive is skipped, never made as a classic drive over
// the descriptor's text. The files are opened when the drive is made.
Recorded RecordedLayout(const StartStores &stores, const char16_t *valueName, char16_t letter,
                        VelmorLayout **layout) {
  *layout = nullptr;
  uint32_t got = 0;
  const NtStatus queried =
      QueryRegistryBinary(stores.layoutsPath, valueName, stores.record, kLayoutRecordSize, &got);
  if (queried == status::kObjectNameNotFound)
    return Recorded::kNoLayout;
  if (!IsSuccess(queried) || got != kLayoutRecordSize ||
      CheckLayoutRecord(*stores.record) != LayoutFault::kValid || stores.record->letter != letter)
    return Recorded::kBroken;
  *layout = VelmorNewLayout(*stores.record);
  return *layout ? Recorded::kLayout : Recorded::kBroken;
}

// Re-creates the drive recorded under `letter`, when there is one that can be made. A drive
// whose image is missing or refused now is not made; its record stays, so the program still
// lists it and its eject removes it.
void RestoreDrive(Driver *driver, const StartStores &stores, char16_t letter, UString *pathString) {
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
  // the disc's sectors lie. Made in the system's context, for the administrator who mounted
  // it: no caller to check, but the same kinds of file are refused.
  VelmorLayout *layout = nullptr;
  switch (RecordedLayout(stores, valueName, letter, &layout)) {
  case Recorded::kBroken:
    VelmorTrace("Skipping a drive whose recorded layout cannot be made");
    return;
  case Recorded::kLayout:
    if (!IsSuccess(VelmorOpenLayoutFiles(driver, layout, 0))) {
      VelmorTrace("Skipping a drive whose files are missing or refused");
      VelmorFreeLayout(layout);
      return;
    }
    VelmorCreateLayoutDrive(driver, &letterLink, layout, 0);
    return;
  case Recorded::kNoLayout:
    // A drive that cannot be made (letter taken, path too long, image gone) is skipped.
    VelmorCreateDevice(driver, &letterLink, pathString, 0);
    return;
  }
}

} // namespace

NtStatus VelmorStartDriver(Driver *driver, const UString *registryPath) {
  VelmorTrace("-----Loading Driver-----");
  // Suffix lengths with their zeros.
  StartStores stores{
      KeyPath(registryPath, kParametersSubkey, sizeof(kParametersSubkey) / sizeof(char16_t)),
      KeyPath(registryPath, kLayoutsKeySuffix, sizeof(kLayoutsKeySuffix) / sizeof(char16_t)),
      static_cast<LayoutRecord *>(AllocatePaged(kLayoutRecordSize, kPoolTagDdk))};
  if (!stores.parametersPath || !stores.layoutsPath || !stores.record) {
    FreeStores(stores);
    return status::kInsufficientResources;
  }

  InstallDispatchHandlers(driver);

  // Without the control device the load fails and no drive is made; each drive starts its own
  // thread, and a driver that fails to load has none.
  const NtStatus result = VelmorCreateControlDevice(driver);
  if (IsSuccess(result)) {
    char16_t pathStore[kImageStoreBytes / sizeof(char16_t)];
    UString pathString{0, kImageStoreCapacity, pathStore};
    for (char16_t letter = u'A'; letter <= u'Z'; ++letter)
      RestoreDrive(driver, stores, letter, &pathString);
  }
  FreeStores(stores);
  return result;
}

void VelmorUnloadDriver(Driver *driver) {
  VelmorTrace("-----Unloading Driver-----");
  // Each removal deletes the device it is given, so the next one is found first. The records
  // in the registry stay: the next start makes the drives again.
  for (Device *device = NextDriverDevice(driver, nullptr), *next; device; device = next) {
    next = NextDriverDevice(driver, device);
    VelmorRemoveDevice(VelmorExtensionOf(device));
  }
}

} // namespace velmor
