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
  uint32_t got = 0;
  result = kernel::ReadFileAt(file, buffer, length, fileOffset, &got);
  VelmorTrace(IsSuccess(result) ? "read success" : "read fail");
  kernel::CloseFile(file);
  // A read running past the file's end reports its whole length; the part beyond the end
  // must not carry what the caller's pages held before (another process's data, perhaps).
  if (IsSuccess(result))
    for (uint32_t i = got < length ? got : length; i < length; ++i)
      static_cast<uint8_t *>(buffer)[i] = 0;
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
