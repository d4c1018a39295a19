// Start of the driver: request handlers, the control device, then every drive recorded in the
// registry table, in letter order.
#include "layout_drive.h"
#include "trace.h"
#include "velmor_driver.h"
#include "velmor_identity.h"
#include "velmor_served.h"

namespace velmor {

using namespace kernel;

namespace {

// What start-up reads the registry with: the three keys' paths, room for one layout record
// and its files' identities, and for one image path (all far too large for a kernel stack that
// goes on down through the file systems), all paged.
struct StartStores {
  char16_t *parametersPath;
  char16_t *layoutsPath;
  char16_t *identitiesPath;
  char16_t *servedPath;
  LayoutRecord *record;
  FileIdentity *identities; // kLayoutMaxFiles of them
  char16_t *path;           // kImageStoreBytes
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
  if (stores.identitiesPath)
    FreePool(stores.identitiesPath);
  if (stores.servedPath)
    FreePool(stores.servedPath);
  if (stores.record)
    FreePool(stores.record);
  if (stores.identities)
    FreePool(stores.identities);
  if (stores.path)
    FreePool(stores.path);
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

// Whether the letter's drive is recorded as served from user mode: any value under the Served
// subkey, whatever its type or size (only a lookup that finds no value says no). Its server
// makes it again, with its own check of the user's access; start-up opens none of its files.
bool RecordedServed(const StartStores &stores, const char16_t *valueName) {
  uint32_t got = 0;
  return QueryRegistryBinary(stores.servedPath, valueName, stores.record, kLayoutRecordSize,
                             &got) != status::kObjectNameNotFound;
}

// Whether a path names a CHD image (".chd", in any case): compressed, served from user mode
// only. Read raw by a drive it would give the compressed bytes as the disc's.
bool ServedOnlyFormat(const UString *path) {
  constexpr char16_t kSuffix[] = u".chd";
  constexpr uint16_t kBytes = 4 * sizeof(char16_t);
  if (path->Length < kBytes)
    return false;
  const UString tail{kBytes, kBytes, path->Buffer + (path->Length - kBytes) / sizeof(char16_t)};
  const UString suffix{kBytes, kBytes, const_cast<char16_t *>(kSuffix)};
  return CompareStrings(&tail, &suffix, true) == 0;
}

bool LayoutNamesServedOnlyFormat(const VelmorLayout *layout) {
  for (uint32_t f = 0; f < layout->fileCount; ++f)
    if (ServedOnlyFormat(&layout->files[f]))
      return true;
  return false;
}

// The identities recorded for a drive of `files` files, read into stores.identities; false
// when they are missing or of another size (recorded by an older build, or never).
bool RecordedIdentities(const StartStores &stores, const char16_t *valueName, uint32_t files) {
  uint32_t got = 0;
  return IsSuccess(QueryRegistryBinary(stores.identitiesPath, valueName, stores.identities,
                                       files * uint32_t(sizeof(FileIdentity)), &got));
}

// Why an open or a check at start-up made no drive.
SkipReason ReasonOf(NtStatus result) {
  switch (result) {
  case status::kFileInvalid:
    return SkipReason::kIdentityChanged;
  case status::kObjectNameNotFound:
  case status::kObjectPathNotFound:
    return SkipReason::kFileMissing;
  case status::kInvalidParameter:
  case status::kFileIsADirectory:
    return SkipReason::kFileRefused;
  default:
    return SkipReason::kNotMade;
  }
}

// Re-creates the drive recorded under `letter`, when there is one that can be made. A drive
// whose image is missing or refused now is not made; its record stays, so the program still
// lists it and its eject removes it. Made in the system's context, for the administrator who
// mounted it: no caller to check, so a drive is made only over the very files the add opened
// (their recorded identities), whatever the recorded path leads to now.
SkipReason RestoreDrive(Device *control, const StartStores &stores, char16_t letter) {
  const char16_t valueName[2] = {letter, 0};
  UString pathString{0, kImageStoreCapacity, stores.path};
  // A failed query (no key, no value under Wine, a value too long for the store) and an empty
  // value both mean there is no drive for this letter.
  if (!IsSuccess(QueryRegistryString(stores.parametersPath, valueName, &pathString))) {
    VelmorTrace("Error quering Y string");
    return SkipReason::kNone;
  }
  VelmorTrace("Success quering Y string");
  if (pathString.Length == 0)
    return SkipReason::kNone;
  VelmorTrace("Y string length > 0");
  // A served drive is its server's to make again; and no drive of ours reads a CHD raw, whatever
  // the registry says.
  if (RecordedServed(stores, valueName))
    return SkipReason::kServed;
  if (ServedOnlyFormat(&pathString))
    return SkipReason::kFileRefused;
  char16_t linkStore[3] = {letter, u':', 0};
  UString letterLink{2 * sizeof(char16_t), sizeof(linkStore), linkStore};
  // The string stays the path the user chose (a cue sheet, say); a layout beside it says how
  // the disc's sectors lie.
  VelmorLayout *layout = nullptr;
  switch (RecordedLayout(stores, valueName, letter, &layout)) {
  case Recorded::kBroken:
    VelmorTrace("Skipping a drive whose recorded layout cannot be made");
    return SkipReason::kLayoutBroken;
  case Recorded::kLayout: {
    if (LayoutNamesServedOnlyFormat(layout)) {
      VelmorFreeLayout(layout);
      return SkipReason::kFileRefused;
    }
    if (!RecordedIdentities(stores, valueName, layout->fileCount)) {
      VelmorFreeLayout(layout);
      return SkipReason::kNoIdentity;
    }
    NtStatus result = VelmorOpenLayoutFiles(DeviceDriver(control), layout, 0);
    for (uint32_t i = 0; IsSuccess(result) && i < layout->fileCount; ++i)
      result = VelmorCheckIdentity(layout->handles[i], kExpectIdentity, &stores.identities[i]);
    if (!IsSuccess(result)) {
      VelmorTrace("Skipping a drive whose files are missing, refused or changed");
      VelmorFreeLayout(layout);
      return ReasonOf(result);
    }
    return ReasonOf(VelmorCreateLayoutDrive(control, &letterLink, layout, 0));
  }
  case Recorded::kNoLayout:
    break;
  }
  if (!RecordedIdentities(stores, valueName, 1))
    return SkipReason::kNoIdentity;
  // A drive that cannot be made (letter taken, path too long, image gone or changed) is
  // skipped.
  const NtStatus made =
      VelmorCreateDevice(control, &letterLink, &pathString, kExpectIdentity, stores.identities);
  return IsSuccess(made) ? SkipReason::kNone : ReasonOf(made);
}

} // namespace

NtStatus VelmorStartDriver(Driver *driver, const UString *registryPath) {
  VelmorTrace("-----Loading Driver-----");
  // Suffix lengths with their zeros.
  StartStores stores{
      KeyPath(registryPath, kParametersSubkey, sizeof(kParametersSubkey) / sizeof(char16_t)),
      KeyPath(registryPath, kLayoutsKeySuffix, sizeof(kLayoutsKeySuffix) / sizeof(char16_t)),
      KeyPath(registryPath, kIdentitiesKeySuffix, sizeof(kIdentitiesKeySuffix) / sizeof(char16_t)),
      KeyPath(registryPath, kServedKeySuffix, sizeof(kServedKeySuffix) / sizeof(char16_t)),
      static_cast<LayoutRecord *>(AllocatePaged(kLayoutRecordSize, kPoolTagDdk)),
      static_cast<FileIdentity *>(
          AllocatePaged(kLayoutMaxFiles * sizeof(FileIdentity), kPoolTagDdk)),
      static_cast<char16_t *>(AllocatePaged(kImageStoreBytes, kPoolTagDdk))};
  if (!stores.parametersPath || !stores.layoutsPath || !stores.identitiesPath ||
      !stores.servedPath || !stores.record || !stores.identities || !stores.path) {
    FreeStores(stores);
    return status::kInsufficientResources;
  }

  InstallDispatchHandlers(driver);

  // Without the control device the load fails and no drive is made; each drive starts its own
  // thread, and a driver that fails to load has none.
  Device *control = nullptr;
  const NtStatus result = VelmorCreateControlDevice(driver, &control);
  if (IsSuccess(result)) {
    auto *state = VelmorExtensionOf(control);
    for (char16_t letter = u'A'; letter <= u'Z'; ++letter)
      state->SkipReasons[letter - u'A'] = uint8_t(RestoreDrive(control, stores, letter));
  }
  FreeStores(stores);
  return result;
}

void VelmorUnloadDriver(Driver *driver) {
  VelmorTrace("-----Unloading Driver-----");
  // Each removal deletes the device it is given, so the next one is found first. The records
  // in the registry stay: the next start makes the drives again. The control device goes last:
  // its record keeps the removed drives the driver still references.
  Device *control = nullptr;
  for (Device *device = NextDriverDevice(driver, nullptr), *next; device; device = next) {
    next = NextDriverDevice(driver, device);
    if (VelmorExtensionOf(device)->IsControl)
      control = device;
    else
      VelmorRemoveDevice(VelmorExtensionOf(device));
  }
  if (!control)
    return;
  auto *state = VelmorExtensionOf(control);
  VelmorSettleRemovedDrives(state, true);
  FreeSpinLock(state->RemovedLock);
  state->RemovedLock = nullptr;
  // No SERVE can be pending (it would hold the control device, and the unload wait for it);
  // none is left in a queue whose memory goes with the device, whatever happens.
  while (Request *serve = DequeueRequest(&state->ServeQueue, nullptr))
    CompleteRequest(serve, status::kCancelled, 0);
  FreeSpinLock(state->ServedLock);
  state->ServedLock = nullptr;
  VelmorRemoveDevice(state);
}

} // namespace velmor
