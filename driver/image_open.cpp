// The one open of a drive's image file, and what it refuses.
#include "velmor_driver.h"

namespace velmor {

using namespace kernel;

namespace {

// Volumes whose files may be images: local disks, virtual disks (a VHD, a RAM disk) and discs,
// as their devices or their file systems name themselves (Wine gives the file system's kind).
bool LocalStorage(uint32_t deviceType) {
  constexpr uint32_t kCdRomFileSystem = 0x03, kDiskFileSystem = 0x08, kVirtualDisk = 0x24,
                     kDvd = 0x33;
  return deviceType == kFileDeviceDisk || deviceType == kFileDeviceCdRom ||
         deviceType == kCdRomFileSystem || deviceType == kDiskFileSystem ||
         deviceType == kVirtualDisk || deviceType == kDvd;
}

} // namespace

NtStatus VelmorOpenImage(Driver *driver, const UString *ntPath, uint32_t options,
                         FileHandle *handle) {
  *handle = nullptr;
  FileHandle file = nullptr;
  // Access check on this very open, in the caller's thread: a user-mode caller may mount
  // only what it may read itself, and the drive reads through this handle alone, so no later
  // open by name (in the system's context, through other names) can read something else.
  NtStatus result = OpenImageFile(ntPath, (options & kCheckCallerAccess) != 0, &file);
  if (!IsSuccess(result))
    return result; // a missing file makes no drive
  ImageFileKind kind{};
  result = QueryImageFileKind(file, driver, &kind);
  // Only a file of a local disk's (or disc's) file system. A pipe's server could make the reads
  // wait forever or impersonate their thread; a raw disk or volume is not an image; a share's
  // redirector may wait on the network in the paging path; and a file on one of our own
  // drives would make that drive's reads wait on this one's.
  if (IsSuccess(result) &&
      (!LocalStorage(kind.deviceType) || kind.remote || !kind.named || kind.onDriverVolume))
    result = status::kInvalidParameter;
  if (!IsSuccess(result)) {
    CloseFile(file);
    return result;
  }
  *handle = file;
  return status::kSuccess;
}

NtStatus VelmorCheckIdentity(FileHandle handle, uint32_t options, FileIdentity *identity) {
  FileIdentity found;
  const NtStatus queried = QueryFileIdentity(handle, &found);
  if (!IsSuccess(queried))
    return queried;
  if (!(options & kExpectIdentity)) {
    *identity = found;
    return status::kSuccess;
  }
  return SameIdentity(found, *identity) ? status::kSuccess : status::kFileInvalid;
}

} // namespace velmor
