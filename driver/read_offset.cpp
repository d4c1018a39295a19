// Reads of a classic drive's image, through the handle the drive opened when it was made.
#include "trace.h"
#include "velmor_driver.h"

namespace velmor {

NtStatus VELMORReadOffset(int64_t fileOffset, void *buffer, uint32_t length,
                          kernel::FileHandle image, uint32_t *inFile) {
  VelmorTrace("begin VELMORReadOffset");
  if (inFile)
    *inFile = 0;
  if (!image)
    return status::kDeviceNotReady;
  uint32_t got = 0;
  NtStatus result = kernel::ReadFileAt(image, buffer, length, fileOffset, &got);
  VelmorTrace(IsSuccess(result) ? "read success" : "read fail");
  // A read that starts at the file's end finds nothing; one running past it reports its
  // whole length. The part beyond the end must not carry what the caller's pages held before
  // (another process's data, perhaps).
  if (result == status::kEndOfFile) {
    got = 0;
    result = status::kSuccess;
  }
  if (got > length)
    got = length;
  if (IsSuccess(result) && got < length)
    __builtin_memset(static_cast<uint8_t *>(buffer) + got, 0, length - got);
  if (inFile)
    *inFile = IsSuccess(result) ? got : 0;
  return result;
}

bool VelmorSectorsInFile(uint32_t inFile, uint32_t length, uint32_t lastSectorStart) {
  return inFile >= length || lastSectorStart < inFile;
}

} // namespace velmor
