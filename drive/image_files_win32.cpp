#include "image_files_win32.h"

#include <windows.h>

#include "drive_system_win32.h"

namespace velmor {
namespace {

// A full path on a drive letter in the form that is not limited to MAX_PATH.
std::wstring LongForm(const std::u16string &path) {
  std::wstring wide(path.begin(), path.end());
  if (wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\')
    wide.insert(0, L"\\\\?\\");
  return wide;
}

class OpenFile {
public:
  explicit OpenFile(const std::u16string &path)
      : handle_(CreateFileW(LongForm(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}
  ~OpenFile() {
    if (handle_ != INVALID_HANDLE_VALUE)
      CloseHandle(handle_);
  }
  OpenFile(const OpenFile &) = delete;
  OpenFile &operator=(const OpenFile &) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
  HANDLE handle_;
};

class Win32Files final : public formats::ImageFiles {
public:
  bool Size(const std::u16string &path, uint64_t *size) override {
    OpenFile file(path);
    LARGE_INTEGER bytes;
    if (!file.valid() || !GetFileSizeEx(file.get(), &bytes))
      return false;
    *size = uint64_t(bytes.QuadPart);
    return true;
  }

  bool Read(const std::u16string &path, uint64_t offset, void *buffer, uint32_t length,
            uint32_t *got) override {
    *got = 0;
    OpenFile file(path);
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    if (!file.valid() || !SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN))
      return false;
    while (*got < length) {
      DWORD n = 0;
      if (!ReadFile(file.get(), static_cast<char *>(buffer) + *got, length - *got, &n, nullptr))
        return false;
      if (n == 0)
        break;
      *got += n;
    }
    return true;
  }
};

} // namespace

formats::ImageFiles &Win32ImageFiles() {
  static Win32Files files;
  return files;
}

} // namespace velmor
