// Start of the driver: request handlers, the control device, then every drive recorded in the
// registry table, in letter order.
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

namespace {

// Re-creates the drive recorded under `letter`, when there is one that can be made.
void RestoreDrive(Driver *driver, VelmorWorkQueue *queue, const char16_t *parametersPath,
                  char16_t letter, UString *pathString) {
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
  // Made in the system's context, for the administrator who mounted it: no caller to check.
  VelmorCreateDevice(driver, queue, &letterLink, pathString, 0);
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

  VelmorWorkQueue *queue = VelmorNewWorkQueue();
  if (!queue) {
    FreePool(parametersPath);
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
      RestoreDrive(driver, queue, parametersPath, letter, &pathString);
  } else {
    VelmorFreeWorkQueue(queue);
  }
  FreePool(parametersPath);
  return result;
}

} // namespace velmor
