// The CD codecs (cdzl, cdlz, cdzs, cdfl): a hunk of whole frames, its 2,352-byte sectors
// compressed together by the base codec and the 96-byte subchannels by a second one. A bit per
// frame says the sector's sync and ECC were taken out because they were valid; they are
// rebuilt here, so the hunk's CRC is checked against the sector as it was.
#include <cstring>
#include <vector>

#include "cd_codec.h"
#include "cd_ecc.h"

namespace velmor::imagesource::chd {
namespace {

// cdfl's FLAC block size: a quarter of the sector data, halved down to a sector's worth.
uint32_t CdFlacBlockSize(uint32_t bytes) {
  uint32_t block = bytes / 4;
  while (block > kCdSectorBytes)
    block /= 2;
  return block;
}

class CdCodec final : public HunkCodec {
public:
  CdCodec(std::unique_ptr<HunkCodec> base, std::unique_ptr<FlacDecoder> flac,
          std::unique_ptr<HunkCodec> sub)
      : base_(std::move(base)), flac_(std::move(flac)), sub_(std::move(sub)) {}

  bool Decode(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) override {
    const size_t frames = outLength / kCdFrameBytes;
    if (frames == 0 || outLength % kCdFrameBytes != 0)
      return false;
    const size_t sectorBytes = frames * kCdSectorBytes;
    buffer_.resize(frames * kCdFrameBytes);
    size_t subAt = 0; // where the subchannel's stream begins in src
    size_t eccBytes = 0;
    if (flac_) {
      size_t used = 0;
      if (!flac_->Decode(src, length, buffer_.data(), sectorBytes,
                         CdFlacBlockSize(uint32_t(sectorBytes)), true, &used))
        return false;
      subAt = used;
    } else {
      eccBytes = (frames + 7) / 8;
      const size_t lengthBytes = outLength < 65536 ? 2 : 3;
      if (length < eccBytes + lengthBytes)
        return false;
      size_t baseLength = 0;
      for (size_t i = 0; i < lengthBytes; ++i)
        baseLength = baseLength << 8 | src[eccBytes + i];
      const size_t baseAt = eccBytes + lengthBytes;
      if (baseLength > length - baseAt ||
          !base_->Decode(src + baseAt, baseLength, buffer_.data(), sectorBytes))
        return false;
      subAt = baseAt + baseLength;
    }
    if (!sub_->Decode(src + subAt, length - subAt, buffer_.data() + sectorBytes,
                      frames * kCdSubchannelBytes))
      return false;
    for (size_t f = 0; f < frames; ++f) {
      uint8_t *sector = out + f * kCdFrameBytes;
      std::memcpy(sector, buffer_.data() + f * kCdSectorBytes, kCdSectorBytes);
      std::memcpy(sector + kCdSectorBytes, buffer_.data() + sectorBytes + f * kCdSubchannelBytes,
                  kCdSubchannelBytes);
      if (eccBytes != 0 && (src[f / 8] >> (f % 8) & 1) != 0) {
        std::memcpy(sector, kCdSync, sizeof kCdSync);
        GenerateEcc(sector);
      }
    }
    return true;
  }

private:
  std::unique_ptr<HunkCodec> base_;
  std::unique_ptr<FlacDecoder> flac_;
  std::unique_ptr<HunkCodec> sub_;
  std::vector<uint8_t> buffer_;
};

} // namespace

std::unique_ptr<HunkCodec> MakeCdCodec(CdBase base, uint32_t hunkBytes) {
  // The base codec sees the sectors of a hunk without their subchannels.
  const uint32_t sectorBytes = hunkBytes / kCdFrameBytes * kCdSectorBytes;
  switch (base) {
  case CdBase::kDeflate:
    return std::make_unique<CdCodec>(MakeDeflateCodec(), nullptr, MakeDeflateCodec());
  case CdBase::kLzma:
    return std::make_unique<CdCodec>(MakeLzmaCodec(sectorBytes), nullptr, MakeDeflateCodec());
  case CdBase::kZstd:
    return std::make_unique<CdCodec>(MakeZstdCodec(), nullptr, MakeZstdCodec());
  case CdBase::kFlac:
    return std::make_unique<CdCodec>(nullptr, MakeFlacDecoder(), MakeDeflateCodec());
  }
  return nullptr;
}

} // namespace velmor::imagesource::chd
