// Times the ripper's copy loop on the host with the sums the window takes (CRC-32 and SHA-1,
// on threads beside it), from a file to a file:
//   velmor_rip_loop_bench SOURCE TARGET
// Prints the seconds of the copy and the bytes copied (bench/rip-vs-cat.sh sets it beside
// the rip under Wine and cat).
#include "ripper/DiscCopy.h"
#include "ripper/VolumeCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {

class FileSource final : public velmor::VolumeSource {
public:
  explicit FileSource(int fd) : fd_(fd) {}
  bool Read(std::uint64_t offset, void *buffer, std::uint32_t size, std::uint32_t &got) override {
    const ssize_t n = pread(fd_, buffer, size, static_cast<off_t>(offset));
    got = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    return n >= 0;
  }

private:
  int fd_;
};

class FileTarget final : public velmor::ImageTarget {
public:
  explicit FileTarget(int fd) : fd_(fd) {}
  std::uint32_t Write(const void *data, std::uint32_t size) override {
    const ssize_t n = write(fd_, data, size);
    return n > 0 ? static_cast<std::uint32_t>(n) : 0;
  }
  void Discard() override {}

private:
  int fd_;
};

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: velmor_rip_loop_bench SOURCE TARGET\n");
    return 2;
  }
  const int in = open(argv[1], O_RDONLY);
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) {
    std::perror("open");
    return 1;
  }
  FileSource source(in);
  FileTarget target(out);
  velmor::RipOptions options;
  options.volumeSize = static_cast<std::uint64_t>(lseek(in, 0, SEEK_END));
  const auto start = std::chrono::steady_clock::now();
  velmor::SummingTarget summing(target, velmor::kCookedSector, nullptr); // as the window sums
  const velmor::RipResult result = velmor::CopyVolume(source, summing, options, nullptr);
  summing.Finish("image");
  close(out);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  close(in);
  if (result.end != velmor::RipEnd::Finished)
    return 1;
  std::printf("%.3f %llu\n", took.count(), static_cast<unsigned long long>(result.copied));
  return 0;
}
