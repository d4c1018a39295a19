// CHD's CD codecs over whole frames of sector and subchannel.
#pragma once

#include "hunk_codec.h"

namespace velmor::imagesource::chd {

inline constexpr uint32_t kCdSectorBytes = 2352;
inline constexpr uint32_t kCdSubchannelBytes = 96;
inline constexpr uint32_t kCdFrameBytes = kCdSectorBytes + kCdSubchannelBytes;

enum class CdBase { kDeflate, kLzma, kZstd, kFlac };
std::unique_ptr<HunkCodec> MakeCdCodec(CdBase base, uint32_t hunkBytes);

} // namespace velmor::imagesource::chd
