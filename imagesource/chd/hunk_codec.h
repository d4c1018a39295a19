// The codecs a CHD names in its header, one object per codec per open file (each keeps its
// library state between hunks). Decoding is all-or-nothing: exactly the expected bytes, or
// false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmor::imagesource::chd {

class HunkCodec {
public:
  virtual ~HunkCodec() = default;
  // `length` bytes at `src` into exactly `outLength` bytes at `out`.
  virtual bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) = 0;
};

// The codec a four-character tag names ("zlib", "cdlz"...), for hunks of `hunkBytes`; null
// for a tag this reader does not know.
std::unique_ptr<HunkCodec> MakeHunkCodec(uint32_t tag, uint32_t hunkBytes);

// The library codecs, also the parts of the CD codecs.
std::unique_ptr<HunkCodec> MakeDeflateCodec(); // raw deflate, no zlib header
std::unique_ptr<HunkCodec> MakeLzmaCodec(uint32_t hunkBytes);
std::unique_ptr<HunkCodec> MakeZstdCodec();

// FLAC of 16-bit stereo at 44.1 kHz, the stream's header left out (MAME writes frames only).
class FlacDecoder {
public:
  virtual ~FlacDecoder() = default;
  // Samples to `out` in big- or little-endian byte order; `*used` is how many input bytes the
  // frames took (what follows belongs to someone else).
  virtual bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength,
                      uint32_t blockSize, bool bigEndian, size_t *used) = 0;
};
std::unique_ptr<FlacDecoder> MakeFlacDecoder();

} // namespace velmor::imagesource::chd
