#include "hunk_codec.h"

#include "big_endian.h"
#include "cd_codec.h"
#include "chd_huffman.h"

namespace velmor::imagesource::chd {
namespace {

class HuffmanCodec final : public HunkCodec {
public:
  bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) override {
    return DecodeHuffmanHunk(src, length, out, outLength);
  }
};

// "flac" over any hunk: its first byte says in which byte order the samples were read.
class FlacCodec final : public HunkCodec {
public:
  bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) override {
    if (length < 1 || (src[0] != 'L' && src[0] != 'B'))
      return false;
    uint32_t block = uint32_t(outLength / 4);
    while (block > 2048)
      block /= 2;
    size_t used = 0;
    return decoder_->Decode(src + 1, length - 1, out, outLength, block, src[0] == 'B', &used);
  }

private:
  std::unique_ptr<FlacDecoder> decoder_ = MakeFlacDecoder();
};

} // namespace

std::unique_ptr<HunkCodec> MakeHunkCodec(uint32_t tag, uint32_t hunkBytes) {
  switch (tag) {
  case Tag("zlib"):
    return MakeDeflateCodec();
  case Tag("lzma"):
    return MakeLzmaCodec(hunkBytes);
  case Tag("zstd"):
    return MakeZstdCodec();
  case Tag("huff"):
    return std::make_unique<HuffmanCodec>();
  case Tag("flac"):
    return std::make_unique<FlacCodec>();
  case Tag("cdzl"):
    return MakeCdCodec(CdBase::kDeflate, hunkBytes);
  case Tag("cdlz"):
    return MakeCdCodec(CdBase::kLzma, hunkBytes);
  case Tag("cdzs"):
    return MakeCdCodec(CdBase::kZstd, hunkBytes);
  case Tag("cdfl"):
    return MakeCdCodec(CdBase::kFlac, hunkBytes);
  default:
    return nullptr;
  }
}

} // namespace velmor::imagesource::chd
