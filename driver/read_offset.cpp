// Every read of an image opens the file, reads and closes it again: nothing is held between
// requests, so an image can be replaced while it is mounted.
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

NtStatus VELMORReadOffset(int64_t fileOffset, void *buffer, uint32_t length,
                          const UString *ntFileName) {
  VelmorTrace("begin VELMORReadOffset");
  if (!ntFileName || !ntFileName->Buffer || ntFileName->Length == 0)
    return status::kDeviceNotReady;
  kernel::FileHandle file = nullptr;
  NtStatus result = kernel::OpenFileForRead(ntFileName, &file);
  if (!IsSuccess(result))
    return result;
  VelmorTrace("open success");
  result = kernel::ReadFileAt(file, buffer, length, fileOffset);
  VelmorTrace(IsSuccess(result) ? "read success" : "read fail");
  kernel::CloseFile(file);
  return result;
}

NtStatus VelmorReadImage(VELMOR_DRIVE_EXTENSION *extension, int64_t fileOffset, void *buffer,
                         uint32_t length) {
  if (!VelmorHoldImageName(extension))
    return status::kDeviceNotReady;
  const NtStatus result = VELMORReadOffset(fileOffset, buffer, length, &extension->ImageFileName);
  VelmorReleaseImageName(extension);
  return result;
}

} // namespace velmor
