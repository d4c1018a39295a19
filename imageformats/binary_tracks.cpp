#include "binary_tracks.h"

#include "byte_fields.h"

namespace velmor::formats {

bool SetSectorShape(SectorKind kind, uint16_t size, Track *t) {
  t->stride = size;
  t->userOffset = 0;
  if (kind == SectorKind::kUnsupported)
    return false;
  if (kind == SectorKind::kAudio) {
    t->controlAdr = kControlAdrAudio;
    return size == kStrideRaw || size == kStrideRawSub;
  }
  t->controlAdr = kControlAdrData;
  if (size == kStrideMode2 && kind == SectorKind::kMode2Form1)
    t->userOffset = 8; // the subheader, then the user data
  else if (size == kStrideRaw || size == kStrideRawSub)
    t->userOffset = kind == SectorKind::kMode1 ? 16 : 24; // sync + header (+ subheader)
  else if (size != kStrideCooked)
    return false;
  return true;
}

uint32_t RoomBefore(const DiscLayout &layout, uint32_t firstLba) {
  if (layout.tracks.empty())
    return firstLba;
  const Track &last = layout.tracks.back();
  const uint64_t end = uint64_t(last.firstLba) + last.sectors;
  return firstLba > end ? uint32_t(firstLba - end) : 0;
}

std::string TrackField(unsigned number, const char *what) {
  std::string field = "track " + std::to_string(number);
  if (what)
    field += std::string(" ") + what;
  return field;
}

FormatError CheckTracks(ImageFiles &files, const std::u16string &descriptor,
                        const DiscLayout &layout) {
  using Reason = FormatError::Reason;
  if (layout.tracks.empty())
    return FieldError(Reason::kTruncated, descriptor, "tracks");
  uint64_t end = 0; // first block after the track before
  for (size_t i = 0; i < layout.tracks.size(); ++i) {
    const Track &t = layout.tracks[i];
    if (t.number != i + 1 || t.sectors == 0 || t.pregap > t.firstLba ||
        t.firstLba - t.pregap < end || uint64_t(t.firstLba) + t.sectors > kLayoutMaxSectors)
      return FieldError(Reason::kTrackOrder, descriptor, TrackField(t.number));
    end = uint64_t(t.firstLba) + t.sectors;
    const std::u16string &path = layout.files.at(t.file);
    uint64_t size = 0;
    if (!files.Size(path, &size))
      return FieldError(Reason::kMissingFile, path, TrackField(t.number));
    const uint64_t stored = t.pregapInFile ? uint64_t(t.pregap) * t.stride : 0;
    if (t.fileOffset < stored || t.fileOffset > size ||
        uint64_t(t.sectors) * t.stride > size - t.fileOffset)
      return FieldError(Reason::kTruncated, path, TrackField(t.number));
  }
  return {};
}

} // namespace velmor::formats
