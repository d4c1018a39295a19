// Read throughput of a mounted image through its drive letter (\\.\L:, every request served by
// the driver opening, reading and closing the image) against reading the image file itself,
// at 64 KiB and 1 MiB requests in order and at 64 KiB requests in a scattered order, in one run.
// Each way reads the whole image ROUNDS times, taking turns with the other; the best round
// counts. Win32 (under Wine: bench/drive-read.sh).
//   drive_read_bench L: IMAGE [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

unsigned long long CommonDivisor(unsigned long long a, unsigned long long b) {
  return b == 0 ? a : CommonDivisor(b, a % b);
}

// Seconds to read the whole of `path` with requests of `request` bytes, in order or in a fixed
// scattered order (each block once: steps by a number prime to the block count); negative on
// failure.
double ReadAll(const std::string &path, DWORD request, unsigned long long size, bool scattered) {
  HANDLE h =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return -1;
  std::vector<char> buffer(request);
  LARGE_INTEGER start, end, frequency;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  bool ok = true;
  const unsigned long long blocks = (size + request - 1) / request;
  unsigned long long step = scattered ? blocks / 2 + 7 : 1;
  while (blocks > 1 && CommonDivisor(step, blocks) != 1)
    ++step;
  for (unsigned long long i = 0; ok && i < blocks; ++i) {
    const unsigned long long at = (i * step % blocks) * request;
    OVERLAPPED where{}; // the offset travels with the request: a device keeps no position
    where.Offset = DWORD(at);
    where.OffsetHigh = DWORD(at >> 32);
    const DWORD want = DWORD(std::min<unsigned long long>(request, size - at));
    DWORD got = 0;
    ok = ReadFile(h, buffer.data(), want, &got, &where) && got == want;
  }
  QueryPerformanceCounter(&end);
  CloseHandle(h);
  return ok ? double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart) : -1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: drive_read_bench L: IMAGE [ROUNDS]\n");
    return 2;
  }
  const std::string drive = std::string("\\\\.\\") + argv[1];
  const std::string image = argv[2];
  const int rounds = argc == 4 ? std::max(1, std::atoi(argv[3])) : 5;
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &info)) {
    std::fprintf(stderr, "drive_read_bench: %s: no such file\n", image.c_str());
    return 1;
  }
  const unsigned long long size =
      (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const double mib = double(size) / (1 << 20);
  std::printf("image %.0f MiB, best of %d rounds\n", mib, rounds);
  std::printf("%-9s %14s %14s %8s\n", "request", "drive MiB/s", "file MiB/s", "ratio");
  struct Way {
    DWORD request;
    bool scattered;
  };
  for (const Way way : {Way{64 << 10, false}, Way{1 << 20, false}, Way{64 << 10, true}}) {
    const DWORD request = way.request;
    ReadAll(image, request, size, false); // the same warm page cache for both
    double bestDrive = 1e30, bestFile = 1e30;
    for (int r = 0; r < rounds; ++r) {
      const double d = ReadAll(drive, request, size, way.scattered);
      const double f = ReadAll(image, request, size, way.scattered);
      if (d < 0 || f < 0) {
        std::fprintf(stderr, "drive_read_bench: a read of %s failed\n",
                     d < 0 ? drive.c_str() : image.c_str());
        return 1;
      }
      bestDrive = std::min(bestDrive, d);
      bestFile = std::min(bestFile, f);
    }
    std::printf("%6lu KiB %14.1f %14.1f %8.2f%s\n", request >> 10, mib / bestDrive, mib / bestFile,
                bestFile / bestDrive, way.scattered ? " scattered" : "");
  }
  return 0;
}
