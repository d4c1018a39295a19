#include "chd_image.h"

#include <algorithm>
#include <cstring>

#include "big_endian.h"
#include "cd_codec.h"
#include "cd_tracks.h"
#include "chd_file.h"

namespace velmor::imagesource::chd {
namespace {

constexpr uint32_t kUnitBytes = kBytesPerSector;

// Where a track's sectors lie in the stream and in the CHD.
struct Region {
  uint64_t streamStart = 0;
  uint64_t streamEnd = 0;
  uint32_t stride = 0;
  uint64_t chdStart = 0; // the CHD byte of the region's first sector
  uint32_t chdStride = 0;
  bool swapBytes = false; // CD audio: the CHD keeps it big-endian
};

class ChdImage final : public ImageSource {
public:
  ChdImage(std::unique_ptr<ChdFile> chd, std::vector<LayoutTrack> tracks,
           std::vector<Region> regions)
      : chd_(std::move(chd)), tracks_(std::move(tracks)), regions_(std::move(regions)) {}

  const std::vector<LayoutTrack> &Tracks() const override { return tracks_; }
  uint64_t StreamSize(uint32_t stream) const override {
    return stream == 0 ? regions_.back().streamEnd : 0;
  }

  ReadResult Read(uint32_t stream, uint64_t offset, void *out, uint32_t length) override {
    if (stream != 0 || offset > StreamSize(0) || length > StreamSize(0) - offset)
      return ReadResult::kIoError;
    auto *to = static_cast<uint8_t *>(out);
    const uint32_t hunkBytes = chd_->Header().hunkBytes;
    while (length > 0) {
      if (offset < regions_[hint_].streamStart || offset >= regions_[hint_].streamEnd)
        hint_ =
            size_t(std::upper_bound(regions_.begin(), regions_.end(), offset,
                                    [](uint64_t o, const Region &r) { return o < r.streamEnd; }) -
                   regions_.begin());
      const Region &r = regions_[hint_];
      const uint64_t sector = (offset - r.streamStart) / r.stride;
      const uint32_t within = uint32_t((offset - r.streamStart) % r.stride);
      // A sector never spans hunks: a CD's hunk holds whole frames, a unit's whole units.
      const uint64_t at = r.chdStart + sector * r.chdStride + within;
      const uint32_t n = std::min<uint32_t>(length, r.stride - within);
      ReadResult result;
      const uint8_t *hunk = chd_->Hunk(uint32_t(at / hunkBytes), &result);
      if (hunk == nullptr)
        return result;
      const uint8_t *from = hunk + at % hunkBytes;
      if (r.swapBytes) {
        // Byte i of a little-endian sample is byte i ^ 1 of the big-endian one; the frame
        // starts at an even offset.
        const uint8_t *frame = from - within;
        for (uint32_t i = 0; i < n; ++i)
          to[i] = frame[(within + i) ^ 1];
      } else {
        std::memcpy(to, from, n);
      }
      to += n;
      offset += n;
      length -= n;
    }
    return ReadResult::kOk;
  }

private:
  std::unique_ptr<ChdFile> chd_;
  std::vector<LayoutTrack> tracks_;
  std::vector<Region> regions_;
  size_t hint_ = 0;
};

LayoutTrack MakeTrack(uint8_t number, bool audio, uint16_t stride, uint8_t userOffset,
                      uint64_t fileOffset, uint32_t firstLba, uint32_t sectors) {
  LayoutTrack t{};
  t.fileOffsetLow = uint32_t(fileOffset);
  t.fileOffsetHigh = uint32_t(fileOffset >> 32);
  t.firstLba = firstLba;
  t.sectors = sectors;
  t.stride = stride;
  t.userOffset = userOffset;
  t.number = number;
  t.controlAdr = audio ? kControlAdrAudio : kControlAdrData;
  return t;
}

// Disc blocks: a pregap not stored comes before the track's start; one that is stored is the
// first of its frames. A postgap is not stored: on the last track it belongs to the track, on
// another it is a gap before the next one's (as the cue sheet reader lays out POSTGAP).
bool LayCd(const ChdFile &chd, std::vector<LayoutTrack> *tracks, std::vector<Region> *regions,
           std::string *why) {
  std::vector<CdTrack> cd;
  if (!ReadCdTracks(chd.Metadata(), &cd, why))
    return false;
  const ChdHeader &h = chd.Header();
  if (h.hunkBytes % kCdFrameBytes != 0 || h.unitBytes != kCdFrameBytes) {
    *why = "its CD frames do not fit its hunks";
    return false;
  }
  uint64_t lba = 0;
  uint64_t stream = 0;
  const uint64_t chdFrames = h.logicalBytes / kCdFrameBytes;
  for (size_t i = 0; i < cd.size(); ++i) {
    const CdTrack &c = cd[i];
    const bool last = i + 1 == cd.size();
    const uint32_t sectors = c.pregapStored ? c.frames - c.pregap : c.frames;
    const uint64_t start = lba + c.pregap;
    if (c.firstFrame + c.frames > chdFrames || start + sectors + c.postgap >= kLayoutMaxSectors ||
        (last && c.postgap > UINT16_MAX)) {
      *why = "its track list does not fit the disc (track " + std::to_string(c.number) + ")";
      return false;
    }
    const uint64_t skipped = c.pregapStored ? uint64_t(c.pregap) * c.stride : 0;
    LayoutTrack t = MakeTrack(c.number, c.audio, c.stride, c.userOffset, stream + skipped,
                              uint32_t(start), sectors);
    t.pregap = c.pregap;
    t.flags = c.pregapStored ? kPregapInFile : 0;
    if (last)
      t.postgap = uint16_t(c.postgap);
    tracks->push_back(t);
    Region r;
    r.streamStart = stream;
    r.streamEnd = stream + uint64_t(c.frames) * c.stride;
    r.stride = c.stride;
    r.chdStart = c.firstFrame * kCdFrameBytes;
    r.chdStride = kCdFrameBytes;
    r.swapBytes = c.audio;
    regions->push_back(r);
    stream = r.streamEnd;
    lba = start + sectors + c.postgap;
  }
  return true;
}

bool LayUnits(const ChdFile &chd, std::vector<LayoutTrack> *tracks, std::vector<Region> *regions,
              std::string *why) {
  const ChdHeader &h = chd.Header();
  const uint64_t sectors = h.logicalBytes / kUnitBytes;
  if (h.unitBytes != kUnitBytes || h.logicalBytes % kUnitBytes != 0 || sectors == 0 ||
      sectors >= kLayoutMaxSectors) {
    *why = "it holds no disc (units of " + std::to_string(h.unitBytes) + " bytes, " +
           std::to_string(h.logicalBytes) + " bytes in all)";
    return false;
  }
  tracks->push_back(MakeTrack(1, false, kStrideCooked, 0, 0, 0, uint32_t(sectors)));
  Region r;
  r.streamEnd = h.logicalBytes;
  r.stride = kUnitBytes;
  r.chdStride = kUnitBytes;
  regions->push_back(r);
  return true;
}

// The record the driver will check, checked here first, so a CHD the driver would refuse is
// refused at open with the reader's words.
bool DriverTakes(const std::vector<LayoutTrack> &tracks) {
  auto record = std::make_unique<LayoutRecord>();
  std::memset(record.get(), 0, sizeof *record);
  record->signature = kLayoutSignature;
  record->version = kLayoutVersion;
  record->letter = u'Z';
  if (tracks.size() > kLayoutMaxTracks)
    return false;
  record->trackCount = uint8_t(tracks.size());
  record->fileCount = 1;
  std::copy(tracks.begin(), tracks.end(), record->tracks);
  record->names[0] = u'x';
  return CheckLayoutRecord(*record) == LayoutFault::kValid;
}

} // namespace

bool StartsLikeChd(const uint8_t *first, size_t length) {
  return length >= sizeof kChdSignature &&
         std::memcmp(first, kChdSignature, sizeof kChdSignature) == 0;
}

std::unique_ptr<ImageSource> OpenChdImage(std::unique_ptr<RandomAccessFile> file,
                                          OpenProblem *problem) {
  std::unique_ptr<ChdFile> chd = ChdFile::Open(std::move(file), problem);
  if (!chd)
    return nullptr;
  bool cd = false;
  for (const MetadataEntry &m : chd->Metadata()) {
    if (m.tag == Tag("CHGD") || m.tag == Tag("CHGT")) {
      problem->text = "the CHD holds a GD-ROM, which our drives do not serve";
      return nullptr;
    }
    if (m.tag == Tag("CHCD")) {
      problem->text = "the CHD keeps its tracks in the oldest form (CHCD), which is not read "
                      "here: chdman copy makes a CHD of today's form";
      return nullptr;
    }
    if (m.tag == Tag("GDDD")) {
      problem->text = "the CHD holds a hard disk, not a disc";
      return nullptr;
    }
    cd = cd || m.tag == Tag("CHT2") || m.tag == Tag("CHTR");
  }
  std::vector<LayoutTrack> tracks;
  std::vector<Region> regions;
  std::string why;
  if (!(cd ? LayCd(*chd, &tracks, &regions, &why) : LayUnits(*chd, &tracks, &regions, &why))) {
    problem->text = "the CHD cannot be served: " + why;
    return nullptr;
  }
  if (!DriverTakes(tracks)) {
    problem->text = "the CHD cannot be served: its tracks do not make a disc our drives serve";
    return nullptr;
  }
  return std::make_unique<ChdImage>(std::move(chd), std::move(tracks), std::move(regions));
}

} // namespace velmor::imagesource::chd
