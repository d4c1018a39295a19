#include "DiscCopy.h"

#include <algorithm>

namespace velmor {

SummingTarget::SummingTarget(ImageTarget &inner, std::uint32_t sectorBytes,
                             std::vector<std::uint32_t> *sectorSums)
    : inner_(inner), sectorBytes_(sectorBytes), sectorSums_(sectorSums) {
  std::vector<SumWorkers::Work> works;
  works.push_back(
      [this](const std::uint8_t *data, std::size_t size) { fileSha1_.Add(data, size); });
  if (sectorSums_)
    works.push_back([this](const std::uint8_t *data, std::size_t size) { SumSectors(data, size); });
  else
    works.push_back(
        [this](const std::uint8_t *data, std::size_t size) { fileCrc_.Add(data, size); });
  workers_ = std::make_unique<SumWorkers>(std::move(works));
}

SummingTarget::~SummingTarget() = default;

std::uint32_t SummingTarget::Write(const void *data, std::uint32_t size) {
  const std::uint32_t written = std::min(inner_.Write(data, size), size);
  workers_->Add(data, written);
  return written;
}

// One pass over the bytes gives both: each sector's CRC, appended to the file's.
void SummingTarget::SumSectors(const std::uint8_t *data, std::size_t size) {
  for (std::size_t at = 0; at < size;) {
    if (inSector_ == 0 && size - at >= sectorBytes_) { // a whole sector in one piece
      const std::uint32_t crc = Crc32::Of(data + at, sectorBytes_);
      newSectorSums_.push_back(crc);
      fileCrc_.Append(crc, sectorBytes_);
      at += sectorBytes_;
      continue;
    }
    // A sector split between two hand-overs.
    const std::size_t n = std::min<std::size_t>(size - at, sectorBytes_ - inSector_);
    sector_.Add(data + at, n);
    at += n;
    inSector_ += static_cast<std::uint32_t>(n);
    if (inSector_ == sectorBytes_) {
      newSectorSums_.push_back(sector_.Value());
      fileCrc_.Append(sector_.Value(), sectorBytes_);
      sector_ = Crc32();
      inSector_ = 0;
    }
  }
}

FileSum SummingTarget::Finish(const std::string &name) {
  workers_->Finish();
  if (inSector_ > 0) { // a last sector cut short is still one sector of the copy
    newSectorSums_.push_back(sector_.Value());
    fileCrc_.Append(sector_.Value(), inSector_);
  }
  inSector_ = 0;
  if (sectorSums_)
    sectorSums_->insert(sectorSums_->end(), newSectorSums_.begin(), newSectorSums_.end());
  newSectorSums_.clear();
  return FileSum{name, fileSha1_.Hex(), fileCrc_.Hex()};
}

std::vector<std::uint32_t> FindPregaps(DiscSource &source, const DiscToc &toc,
                                       const std::vector<TrackForm> &forms) {
  constexpr std::uint32_t kLongestGap = 4 * 75;
  std::vector<std::uint32_t> pregaps(toc.tracks.size(), 0);
  if (pregaps.empty())
    return pregaps;
  pregaps[0] = toc.tracks[0].start;
  std::uint8_t sector[kRawSector];
  for (std::size_t i = 1; i < toc.tracks.size() && i < forms.size(); ++i) {
    const bool audio = forms[i] == TrackForm::kAudio;
    if (audio == (forms[i - 1] == TrackForm::kAudio))
      continue;
    const std::uint32_t start = toc.tracks[i].start;
    std::uint32_t gap = 0;
    while (gap < kLongestGap && start - gap - 1 > toc.tracks[i - 1].start &&
           !source.ReadSectors(start - gap - 1, 1, forms[i - 1], sector) &&
           source.ReadSectors(start - gap - 1, 1, forms[i], sector))
      ++gap;
    pregaps[i] = gap;
  }
  return pregaps;
}

std::uint64_t PlannedBytes(const std::vector<PlannedTrack> &plan) {
  std::uint64_t bytes = 0;
  for (const PlannedTrack &t : plan)
    bytes += std::uint64_t(t.sectors) * t.SectorBytes();
  return bytes;
}

namespace {

// Reads a run of sectors; with bad sectors ignored, a failed run is read again sector by
// sector and what still fails is filled in. Returns how many sectors had to be filled, or -1
// when a read failed and failures are not ignored.
std::int64_t ReadRun(DiscSource &source, const PlannedTrack &t, std::uint32_t lba,
                     std::uint32_t count, bool ignoreBadSectors, std::uint8_t *buffer) {
  if (source.ReadSectors(lba, count, t.form, buffer))
    return 0;
  if (!ignoreBadSectors)
    return -1;
  std::int64_t filled = 0;
  const std::uint32_t bytes = t.SectorBytes();
  for (std::uint32_t i = 0; i < count; ++i)
    if (!source.ReadSectors(lba + i, 1, t.form, buffer + std::size_t(i) * bytes)) {
      FillUnreadableSector(t.form, lba + i, buffer + std::size_t(i) * bytes);
      ++filled;
    }
  return filled;
}

} // namespace

DiscRipResult CopyDisc(DiscSource &source, const std::vector<PlannedTrack> &plan,
                       const TrackFileOpener &open, bool ignoreBadSectors, bool sumSectors,
                       const DiscProgress &progress) {
  DiscRipResult result;
  std::vector<std::unique_ptr<ImageTarget>> files;
  std::vector<std::uint8_t> buffer(std::size_t(kRawReadSectors) * kRawSector);
  std::uint64_t done = 0;
  const auto stop = [&](RipEnd end, std::uint32_t lba, const std::string &file) {
    result.end = end;
    result.failedLba = lba;
    result.failedFile = file;
    for (auto &f : files)
      f->Discard();
    return result;
  };
  for (const PlannedTrack &t : plan) {
    files.push_back(open(t.file));
    if (!files.back()) {
      files.pop_back();
      return stop(RipEnd::WriteFailed, t.first, t.file);
    }
    SummingTarget target(*files.back(), t.SectorBytes(), sumSectors ? &result.sectorSums : nullptr);
    for (std::uint32_t at = 0; at < t.sectors;) {
      const std::uint32_t count = std::min(kRawReadSectors, t.sectors - at);
      const std::int64_t filled =
          ReadRun(source, t, t.first + at, count, ignoreBadSectors, buffer.data());
      if (filled < 0)
        return stop(RipEnd::ReadFailed, t.first + at, t.file);
      result.zeroedSectors += std::uint64_t(filled);
      const std::uint32_t bytes = count * t.SectorBytes();
      if (target.Write(buffer.data(), bytes) != bytes)
        return stop(RipEnd::WriteFailed, t.first + at, t.file);
      at += count;
      done += bytes;
      if (progress && progress(done, t.toc.number))
        return stop(RipEnd::Aborted, t.first + at, t.file);
    }
    result.sums.push_back(target.Finish(t.file));
  }
  return result;
}

VerifyResult VerifyDisc(DiscSource &source, const std::vector<PlannedTrack> &plan,
                        const std::vector<std::uint32_t> &sectorSums,
                        const DiscProgress &progress) {
  VerifyResult result;
  std::vector<std::uint8_t> buffer(std::size_t(kRawReadSectors) * kRawSector);
  std::uint64_t done = 0, index = 0;
  const auto differs = [&](std::uint64_t i) {
    if (result.differing++ == 0)
      result.firstDiffering = i;
  };
  for (const PlannedTrack &t : plan) {
    const std::uint32_t bytes = t.SectorBytes();
    for (std::uint32_t at = 0; at < t.sectors;) {
      const std::uint32_t count = std::min(kRawReadSectors, t.sectors - at);
      // A failed run is read again sector by sector, so only the sectors that fail count.
      std::vector<bool> unreadable(count, false);
      if (!source.ReadSectors(t.first + at, count, t.form, buffer.data()))
        for (std::uint32_t i = 0; i < count; ++i)
          unreadable[i] = !source.ReadSectors(t.first + at + i, 1, t.form,
                                              buffer.data() + std::size_t(i) * bytes);
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t crc = Crc32::Of(buffer.data() + std::size_t(i) * bytes, bytes);
        if (unreadable[i] || index + i >= sectorSums.size() || crc != sectorSums[index + i])
          differs(index + i);
      }
      index += count;
      at += count;
      done += std::uint64_t(count) * bytes;
      if (progress && progress(done, t.toc.number)) {
        result.end = RipEnd::Aborted;
        return result;
      }
    }
  }
  return result;
}

} // namespace velmor
