#include "VolumeCopy.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace velmor {
namespace {

RipResult Stop(ImageTarget &target, RipResult result, RipEnd end, std::uint64_t at = 0) {
  target.Discard();
  result.end = end;
  result.failedOffset = at;
  return result;
}

} // namespace

RipResult CopyVolume(VolumeSource &source, ImageTarget &target, const RipOptions &options,
                     const RipProgress &progress) {
  const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kRipBlockSize]);
  RipResult result;
  std::uint64_t offset = 0;
  std::uint64_t retryEnd = 0; // a failed block is read again sector by sector up to here
  for (;;) {
    const bool retrying = offset < retryEnd;
    std::uint32_t ask = kRipBlockSize;
    if (retrying)
      ask = static_cast<std::uint32_t>(std::min<std::uint64_t>(kRipSectorSize, retryEnd - offset));
    else if (offset < options.volumeSize) // no block crosses the volume's end
      ask = static_cast<std::uint32_t>(std::min<std::uint64_t>(ask, options.volumeSize - offset));

    std::uint32_t got = 0;
    if (!source.Read(offset, buffer.get(), ask, got)) {
      got = 0;
      if (offset >= options.volumeSize) {
        // past the file system: the end of the copy
      } else if (retrying) {
        std::memset(buffer.get(), 0, ask);
        got = ask;
        ++result.zeroedSectors;
      } else if (options.ignoreBadSectors) {
        retryEnd = offset + ask;
        continue;
      } else {
        return Stop(target, result, RipEnd::ReadFailed, offset);
      }
    }
    got = std::min(got, ask);
    if (got > 0) {
      const std::uint32_t written = target.Write(buffer.get(), got);
      result.copied += std::min(written, got);
      if (written != got)
        return Stop(target, result, RipEnd::WriteFailed, offset + std::min(written, got));
    }
    offset += got;
    if (progress && progress(offset))
      return Stop(target, result, RipEnd::Aborted);
    if (got == 0)
      return result;
  }
}

} // namespace velmor
