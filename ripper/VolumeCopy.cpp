#include "VolumeCopy.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace velmor {
namespace {

// One copy: the volume in blocks, each block in chunks small enough to stay in the processor's
// cache between the read and the write. A chunk passes the cache three times (the system's copy
// of the source, the buffer, the system's copy of the image): at 256 KiB that overflowed a 512 KiB
// second-level cache and the copy of a file in the page cache took 2.5 times the processor time
// of 128 KiB chunks, natively and under Wine alike; smaller chunks only add calls.
class Copier {
public:
  Copier(VolumeSource &source, ImageTarget &target, const RipOptions &options,
         const RipProgress &progress)
      : source_(source), target_(target), options_(options), progress_(progress),
        storage_(new std::uint8_t[kRipChunkSize + kPage]),
        buffer_(storage_.get() +
                (kPage - reinterpret_cast<std::uintptr_t>(storage_.get()) % kPage)) {}

  RipResult Run() {
    for (;;) {
      // No block crosses the volume's end, so a read that fails can be told apart from one
      // that runs past the end of the device.
      std::uint64_t blockEnd = offset_ + kRipBlockSize;
      if (offset_ < options_.volumeSize)
        blockEnd = std::min(blockEnd, options_.volumeSize);
      Step step = Step::More;
      while (step == Step::More && offset_ < blockEnd)
        step = CopyChunk(
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kRipChunkSize, blockEnd - offset_)));
      if (step == Step::More || step == Step::End)
        step = Reported() ? step : Step::Stop;
      if (step == Step::Stop) {
        target_.Discard();
        return result_;
      }
      if (step == Step::End)
        return result_;
    }
  }

private:
  enum class Step { More, End, Stop };

  Step CopyChunk(std::uint32_t ask) {
    std::uint32_t got = 0;
    if (source_.Read(offset_, buffer_, ask, got))
      return got == 0 ? Step::End : Write(std::min(got, ask));
    if (offset_ >= options_.volumeSize)
      return Step::End; // past the file system
    if (!options_.ignoreBadSectors)
      return Fail(RipEnd::ReadFailed, offset_);
    return CopyBySector(ask);
  }

  // A chunk that failed, read again sector by sector; sectors that still fail become zeros.
  // Progress is reported after every sector, so a disc full of bad sectors can be given up.
  Step CopyBySector(std::uint32_t ask) {
    const std::uint64_t end = offset_ + ask;
    while (offset_ < end) {
      const auto want =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(kRipSectorSize, end - offset_));
      std::uint32_t got = 0;
      if (!source_.Read(offset_, buffer_, want, got)) {
        std::memset(buffer_, 0, want);
        got = want;
        ++result_.zeroedSectors;
      } else if (got == 0) {
        return Step::End;
      }
      const Step step = Write(std::min(got, want));
      if (step != Step::More)
        return step;
      if (offset_ < end && !Reported())
        return Step::Stop;
    }
    return Step::More;
  }

  Step Write(std::uint32_t size) {
    const std::uint32_t written = std::min(target_.Write(buffer_, size), size);
    result_.copied += written;
    if (written != size)
      return Fail(RipEnd::WriteFailed, offset_ + written);
    offset_ += size;
    return Step::More;
  }

  Step Fail(RipEnd end, std::uint64_t at) {
    result_.end = end;
    result_.failedOffset = at;
    return Step::Stop;
  }

  // Tells the progress; false when it asks to abort.
  bool Reported() {
    if (!progress_ || !progress_(offset_))
      return true;
    result_.end = RipEnd::Aborted;
    return false;
  }

  VolumeSource &source_;
  ImageTarget &target_;
  const RipOptions &options_;
  const RipProgress &progress_;
  // Page-aligned: the system copies from and to a misaligned buffer at a third of the speed.
  static constexpr std::uintptr_t kPage = 4096;
  const std::unique_ptr<std::uint8_t[]> storage_;
  std::uint8_t *const buffer_;
  RipResult result_;
  std::uint64_t offset_ = 0;
};

} // namespace

RipResult CopyVolume(VolumeSource &source, ImageTarget &target, const RipOptions &options,
                     const RipProgress &progress) {
  return Copier(source, target, options, progress).Run();
}

} // namespace velmor
