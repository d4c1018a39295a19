// Open and read requests of every device of the driver.
#include "layout_drive.h"
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

NtStatus VelmorDispatchCreate(Device *, Request *request) {
  CompleteRequest(request, status::kSuccess, 0);
  return status::kSuccess;
}

// Reads arrive at up to APC_LEVEL (paging reads of the file system and the memory manager)
// in any thread; the file work waits for the driver's thread.
NtStatus VelmorDispatchRead(Device *device, Request *request) {
  return VelmorQueueRequest(device, request, QueuedWork::kRead);
}

void VelmorServeRead(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  if (extension->LayoutLeadOut) {
    VelmorServeLayoutRead(extension, request);
    return;
  }
  const uint32_t length = ReadLength(request);
  VelmorTraceNumber("         Length of Transfer: 0x", length);
  VelmorTraceNumber("         Starting ByteOffset: 0x", uint32_t(ReadByteOffset(request)));

  // A mapping can fail when no system address space is left; that is a shortage, not a fault.
  void *buffer = length ? MapReadBuffer(request) : nullptr;
  if (length && !buffer) {
    CompleteRequest(request, status::kInsufficientResources, 0);
    return;
  }

  const uint32_t base = extension->IsoFormat ? 0 : kVelmorHeaderSize;
  VelmorTrace(extension->IsoFormat ? "Reading with ISO Format offset 0"
                                   : "Reading with VELMOR Format offset 64k");
  VelmorTraceNumber("ulOffset = ", base);
  // The sum is taken in 64 bits unsigned so that it carries into the high half and cannot
  // overflow a signed type.
  const int64_t fileOffset = int64_t(uint64_t(ReadByteOffset(request)) + base);

  if (!IsSuccess(VelmorReadImage(extension, fileOffset, buffer, length))) {
    CompleteRequest(request, status::kDeviceNotReady, 0);
    return;
  }
  CompleteRequest(request, status::kSuccess, length);
}

} // namespace velmor
