// Fuzz entry: opens the input as an image served from user mode (a CHD) in memory and reads
// its stream through, in pieces of odd sizes, and at a few places the input's last bytes pick.
// A CHD that opens must read as good bytes or an error: the sanitizers watch the rest.
#include <cstdint>
#include <string>
#include <vector>

#include "file_image.h"
#include "open_image_source.h"

using namespace velmor::imagesource;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  OpenProblem problem;
  auto source = OpenImageSource(
      std::make_unique<MemoryFile>(std::string(reinterpret_cast<const char *>(data), size)),
      &problem);
  if (!source)
    return problem.text.empty() ? (__builtin_trap(), 0) : 0; // a refusal always says why
  // Inputs are small; their streams need not be: a few MiB covers every hunk an input holds.
  constexpr uint64_t kMaxRead = 4u << 20;
  constexpr uint32_t kPiece = 60001;
  const uint64_t streamSize = source->StreamSize(0);
  std::vector<uint8_t> buffer(kPiece);
  for (uint64_t at = 0; at < streamSize && at < kMaxRead; at += kPiece) {
    const uint32_t n = uint32_t(std::min<uint64_t>(kPiece, streamSize - at));
    source->Read(0, at, buffer.data(), n);
  }
  for (size_t i = 0; i + 4 <= std::min<size_t>(size, 16); i += 4) {
    const uint32_t pick = uint32_t(data[size - 1 - i]) << 24 | uint32_t(data[size - 2 - i]) << 16 |
                          uint32_t(data[size - 3 - i]) << 8 | data[size - 4 - i];
    if (streamSize > 0)
      source->Read(0, pick % streamSize, buffer.data(),
                   uint32_t(std::min<uint64_t>(4099, streamSize - pick % streamSize)));
  }
  for (const velmor::LayoutTrack &t : source->Tracks())
    if (velmor::TrackFileOffset(t) > streamSize)
      __builtin_trap();
  return 0;
}
