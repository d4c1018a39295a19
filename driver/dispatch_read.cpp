// Open, close, cleanup and read requests of every device of the driver.
#include "layout_drive.h"
#include "served_drive.h"
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

NtStatus VelmorDispatchCreate(Device *, Request *request) {
  CompleteRequest(request, status::kSuccess, 0);
  return status::kSuccess;
}

// The file object goes. A control device's handle that made served drives lost them at its
// cleanup already; the close covers an add that was still running then, so that no drive stays
// bound to a file object whose memory may next hold another.
NtStatus VelmorDispatchClose(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  if (extension->IsControl)
    VelmorServerGone(extension, RequestFile(request));
  CompleteRequest(request, status::kSuccess, 0);
  return status::kSuccess;
}

// The last handle of a file object is closed: what it still has queued would otherwise hold
// up the closing process (and its exit) until the drive's thread got to it. On the control
// device, the handle may be a server's: its drives lose their media and its SERVEs end.
NtStatus VelmorDispatchCleanup(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  if (extension->IsControl)
    VelmorServerGone(extension, RequestFile(request));
  else
    VelmorCancelFileRequests(extension, RequestFile(request));
  CompleteRequest(request, status::kSuccess, 0);
  return status::kSuccess;
}

bool VelmorRefuseRemoved(Device *device, Request *request, NtStatus *result) {
  if (!VelmorDriveRemoved(VelmorExtensionOf(device)))
    return false;
  // As a CD-ROM drive whose disc was taken out: the file system must verify its volume first,
  // and its own verify learns that the medium is gone.
  SetDeviceFlags(device, kDoVerifyVolume);
  *result = OverridesVerify(request) ? status::kNoMediaInDevice : status::kVerifyRequired;
  return true;
}

// Reads arrive at up to APC_LEVEL (paging reads of the file system and the memory manager)
// in any thread; the file work waits for the drive's thread.
NtStatus VelmorDispatchRead(Device *device, Request *request) {
  auto *extension = VelmorExtensionOf(device);
  NtStatus refused = status::kSuccess;
  if (extension->IsControl)
    refused = status::kInvalidDeviceRequest;
  else if (!VelmorRefuseRemoved(device, request, &refused) &&
           (refused = VelmorQueueRequest(device, request, QueuedWork::kRead)) == status::kPending)
    return refused;
  CompleteRequest(request, refused, 0);
  return refused;
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
  // The locked buffer must hold the whole transfer: the read writes that many bytes into it.
  uint32_t mapped = 0;
  void *buffer = length ? MapReadBuffer(request, &mapped) : nullptr;
  if (length && !buffer) {
    CompleteRequest(request, status::kInsufficientResources, 0);
    return;
  }
  if (mapped < length) {
    CompleteRequest(request, status::kInvalidParameter, 0);
    return;
  }
  // A read that starts past the disc's end is the caller's fault, as on a CD-ROM drive.
  const int64_t offset = ReadByteOffset(request);
  if (offset < 0 || (uint64_t(offset) >> 11) >= VelmorDriveBlocks(extension)) {
    CompleteRequest(request, status::kInvalidParameter, 0);
    return;
  }

  const uint32_t base = extension->IsoFormat ? 0 : kVelmorHeaderSize;
  VelmorTrace(extension->IsoFormat ? "Reading with ISO Format offset 0"
                                   : "Reading with VELMOR Format offset 64k");
  VelmorTraceNumber("ulOffset = ", base);
  // The sum is taken in 64 bits unsigned so that it carries into the high half and cannot
  // overflow a signed type.
  const int64_t fileOffset = int64_t(uint64_t(offset) + base);
  uint32_t inFile = 0;
  if (!IsSuccess(VELMORReadOffset(fileOffset, buffer, length, extension->Image, &inFile))) {
    CompleteRequest(request, status::kDeviceNotReady, 0);
    return;
  }
  // Sectors the image no longer holds fail the whole request, as unreadable sectors of a disc.
  if (!VelmorSectorsInFile(inFile, length, VelmorLastSectorStart(uint64_t(offset), length))) {
    CompleteRequest(request, status::kDeviceDataError, 0);
    return;
  }
  CompleteRequest(request, status::kSuccess, length);
}

} // namespace velmor
