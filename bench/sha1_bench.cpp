// Times the ripper's SHA-1 (the system's, on Windows) over a file, read as sha1sum reads one:
// one thread, each chunk hashed after it is read.
//   velmor_sha1_bench C:\image.iso
// Prints the seconds, the bytes hashed and the processor seconds (bench/rip-vs-cat.sh sets it
// beside the rip of the same file).
#include "ripper/Checksums.h"

#include <windows.h>

#include "bench/processor_seconds.h"

#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmor_sha1_bench FILE\n");
    return 2;
  }
  const HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  std::vector<char> buffer(1048576);
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ProcessorSeconds();
  velmor::Sha1 sha;
  unsigned long long bytes = 0;
  DWORD got = 0;
  while (ReadFile(file, buffer.data(), DWORD(buffer.size()), &got, nullptr) && got > 0) {
    sha.Add(buffer.data(), got);
    bytes += got;
  }
  const std::string digest = sha.Hex();
  const double cpu = ProcessorSeconds() - cpuStart;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  CloseHandle(file);
  std::printf("%.3f %llu %.3f %s\n", took.count(), bytes, cpu, digest.c_str());
  return 0;
}
