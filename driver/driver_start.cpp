// Start of the driver: request handlers, the control device, then every drive recorded in the
// registry table, in letter order.
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

namespace {

// Re-creates the drive recorded under `letter`, when there is one that can be made.
void RestoreDrive(Driver *driver, const char16_t *parametersPath, char16_t letter,
                  UString *pathString) {
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
  // A drive that cannot be made (letter taken, path too long) is skipped.
  VelmorCreateDevice(driver, &letterLink, pathString, false);
}

} // namespace

NtStatus VelmorStartDriver(Driver *driver, const UString *registryPath) {
  VelmorTrace("-----Loading Driver-----");
  const uint32_t pathUnits = registryPath->Length / sizeof(char16_t);
  const uint32_t suffixUnits = sizeof(kParametersSubkey) / sizeof(char16_t); // with the zero
  auto *parametersPath =
      static_cast<char16_t *>(AllocatePaged(registryPath->Length + 24u, kPoolTagDdk));
  if (!parametersPath)
    return status::kInsufficientResources;
  for (uint32_t i = 0; i < pathUnits; ++i)
    parametersPath[i] = registryPath->Buffer[i];
  for (uint32_t i = 0; i < suffixUnits; ++i)
    parametersPath[pathUnits + i] = kParametersSubkey[i];

  InstallDispatchHandlers(driver);

  const UString placeholder{sizeof(kControlPlaceholderPath) - sizeof(char16_t),
                            sizeof(kControlPlaceholderPath),
                            const_cast<char16_t *>(kControlPlaceholderPath)};
  const NtStatus result = VelmorCreateDevice(driver, nullptr, &placeholder, false);
  // Without the control device the load fails, and no drive may outlive it.
  if (IsSuccess(result)) {
    char16_t pathStore[kImageStoreBytes / sizeof(char16_t)];
    UString pathString{0, kImageStoreCapacity, pathStore};
    for (char16_t letter = u'A'; letter <= u'Z'; ++letter)
      RestoreDrive(driver, parametersPath, letter, &pathString);
  }
  FreePool(parametersPath);
  return result;
}

} // namespace velmor
