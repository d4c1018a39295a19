#include "SameFile.h"

#include "winkit/Handle.h"

#include <windows.h>

namespace velmor {

namespace {

bool Identify(const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
  // No access asked for: the file may be open elsewhere without sharing.
  const winkit::KernelHandle file(
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.get() != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file.get(), &info);
}

} // namespace

bool SameFile(const std::string &first, const std::string &second) {
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  return Identify(first, a) && Identify(second, b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace velmor
