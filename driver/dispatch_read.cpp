// Open and read requests of every device of the driver.
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

NtStatus VelmorDispatchCreate(Device *, Request *request) {
  CompleteRequest(request, status::kSuccess, 0);
  return status::kSuccess;
}

NtStatus VelmorDispatchRead(Device *device, Request *request) {
  auto *extension = static_cast<VELMOR_DRIVE_EXTENSION *>(DeviceExtension(device));
  const uint32_t length = ReadLength(request);
  void *buffer = MapReadBuffer(request);
  VelmorTraceNumber("         Length of Transfer: 0x", length);
  VelmorTraceNumber("         Starting ByteOffset: 0x", uint32_t(ReadByteOffset(request)));

  const uint32_t base = extension->IsoFormat ? 0 : kVelmorHeaderSize;
  VelmorTrace(extension->IsoFormat ? "Reading with ISO Format offset 0"
                                   : "Reading with VELMOR Format offset 64k");
  VelmorTraceNumber("ulOffset = ", base);
  // The sum is taken in 64 bits unsigned so that it carries into the high half and cannot
  // overflow a signed type.
  const int64_t fileOffset = int64_t(uint64_t(ReadByteOffset(request)) + base);

  NtStatus result = status::kDeviceNotReady;
  if (buffer || length == 0)
    result = VelmorReadImage(extension, fileOffset, buffer, length);
  if (!IsSuccess(result)) {
    CompleteRequest(request, status::kDeviceNotReady, 0);
    return status::kDeviceNotReady;
  }
  CompleteRequest(request, status::kSuccess, length);
  return status::kSuccess;
}

} // namespace velmor
