// Reads a whole image through a drive letter (\\.\L:) and compares it with the image file.
//   read_compare L: IMAGE     exit 0 when every byte matches, 1 otherwise
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 3 || std::strlen(argv[1]) != 2) {
    std::fprintf(stderr, "usage: read_compare L: IMAGE\n");
    return 2;
  }
  const std::string drivePath = std::string("\\\\.\\") + argv[1];
  HANDLE drive = CreateFileA(drivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE file =
      CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (drive == INVALID_HANDLE_VALUE || file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "read_compare: %s does not open\n",
                 drive == INVALID_HANDLE_VALUE ? drivePath.c_str() : argv[2]);
    return 1;
  }
  std::vector<char> expected(64 * 1024), got(64 * 1024);
  unsigned long long offset = 0;
  for (;;) {
    DWORD n = 0, m = 0;
    if (!ReadFile(file, expected.data(), DWORD(expected.size()), &n, nullptr) || n == 0)
      break;
    OVERLAPPED at{}; // a device handle keeps no file position under Wine
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    if (!ReadFile(drive, got.data(), n, &m, &at) || m != n ||
        std::memcmp(expected.data(), got.data(), n) != 0) {
      std::fprintf(stderr, "read_compare: bytes differ at %llu\n", offset);
      return 1;
    }
    offset += n;
  }
  CloseHandle(drive);
  CloseHandle(file);
  std::printf("%llu bytes match\n", offset);
  return offset ? 0 : 1;
}
