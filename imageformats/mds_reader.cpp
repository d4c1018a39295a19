// Alcohol's media descriptor (.mds, version 1.x) and its image file (.mdf). All fields are
// little-endian. The header points at one session block per session; a session block points
// at its track blocks, which hold the lead-in points A0-A2 besides the tracks. A track block
// points at an extra block (pregap and length in sectors, CDs only) and at a footer naming the
// image file. Pregaps are not stored in the image file: a track's start offset is the file
// offset of its first sector after the pregap.
#include "binary_tracks.h"
#include "byte_fields.h"
#include "readers.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

constexpr char kSignature[] = "MEDIA DESCRIPTOR";
constexpr uint64_t kSignatureLength = 16;
// Far more than a descriptor of 99 tracks needs: a larger file is not one.
constexpr uint64_t kLargestDescriptor = 1 << 20;

constexpr uint64_t kHeaderSize = 0x58;
constexpr uint64_t kVersionAt = 0x10;
constexpr uint64_t kMediumAt = 0x12;
constexpr uint64_t kSessionCountAt = 0x14;
constexpr uint64_t kSessionsAt = 0x50;
constexpr uint16_t kFirstDvdMedium = 0x10;

constexpr uint64_t kSessionSize = 24;
constexpr uint64_t kSessionBlockCountAt = 10;
constexpr uint64_t kSessionTracksAt = 20;

constexpr uint64_t kTrackSize = 80;
constexpr uint64_t kTrackModeAt = 0;
constexpr uint64_t kTrackSubchannelAt = 1;
constexpr uint64_t kTrackAdrCtlAt = 2;
constexpr uint64_t kTrackPointAt = 4;
constexpr uint64_t kTrackExtraAt = 12;
constexpr uint64_t kTrackSectorSizeAt = 16;
constexpr uint64_t kTrackStartLbaAt = 36;
constexpr uint64_t kTrackStartOffsetAt = 40;
constexpr uint64_t kTrackFileCountAt = 48;
constexpr uint64_t kTrackFooterAt = 52;
constexpr uint8_t kSubchannelInterleaved = 8;

constexpr uint64_t kExtraSize = 8;   // pregap, length
constexpr uint64_t kFooterSize = 16; // name offset, wide-character flag, two unknown

// The low nibble of the mode byte decides (Alcohol writes 0xA9-0xAD; other high nibbles are
// seen and mean the same).
SectorKind KindOfMode(uint8_t mode) {
  switch (mode & 0x0F) {
  case 0x9:
  case 0x1:
    return SectorKind::kAudio;
  case 0xA:
  case 0x2:
    return SectorKind::kMode1;
  case 0xB: // mode 2 without a form: volumes on such tracks are written in form 1
  case 0x3:
  case 0xC:
  case 0x4:
    return SectorKind::kMode2Form1;
  default: // form 2 (0xD) has no 2,048-byte user data; others are unknown
    return SectorKind::kUnsupported;
  }
}

// The image file a footer names: "*.mdf" is the descriptor's own name with that extension.
FormatError FileName(ImageFiles &files, const std::u16string &path, const ByteFields &mds,
                     uint64_t footer, unsigned number, std::u16string *name) {
  const uint64_t at = mds.Le(footer, 4);
  const bool wide = mds.Le(footer + 4, 4) != 0;
  std::string narrow;
  std::u16string text;
  for (uint64_t i = at;; i += wide ? 2 : 1) {
    if (!mds.Has(i, wide ? 2 : 1))
      return FieldError(Reason::kTruncated, path, TrackField(number, "file name"));
    const auto c = char16_t(wide ? mds.Le(i, 2) : mds.U8(i));
    if (c == 0)
      break;
    wide ? void(text += c) : narrow.push_back(char(c));
  }
  if (!wide)
    text = files.AnsiToUtf16(narrow);
  if (text.empty())
    return FieldError(Reason::kSyntax, path, TrackField(number, "file name"));
  if (text[0] == u'*') {
    const size_t dot = text.find(u'.');
    *name = WithExtension(path, dot == std::u16string::npos ? u"" : text.substr(dot));
    return {};
  }
  *name = ResolveName(files, path, Utf16ToUtf8(text), true);
  return {};
}

uint32_t FileIndex(DiscLayout *layout, const std::u16string &name) {
  for (uint32_t i = 0; i < layout->files.size(); ++i)
    if (layout->files[i] == name)
      return i;
  layout->files.push_back(name);
  return uint32_t(layout->files.size() - 1);
}

FormatError ReadTrack(ImageFiles &files, const std::u16string &path, const ByteFields &mds,
                      uint64_t at, bool dvd, DiscLayout *layout) {
  const unsigned number = mds.U8(at + kTrackPointAt);
  Track t;
  t.number = uint8_t(number);
  const SectorKind kind = KindOfMode(mds.U8(at + kTrackModeAt));
  const auto size = uint16_t(mds.Le(at + kTrackSectorSizeAt, 2));
  const uint8_t subchannel = mds.U8(at + kTrackSubchannelAt);
  if (kind == SectorKind::kUnsupported)
    return FieldError(Reason::kUnsupportedMode, path, TrackField(number, "mode"));
  if ((subchannel != 0 && subchannel != kSubchannelInterleaved) ||
      (subchannel == kSubchannelInterleaved) != (size == kStrideRawSub) ||
      !SetSectorShape(kind, size, &t))
    return FieldError(Reason::kUnsupportedMode, path, TrackField(number, "sector size"));
  // Keep the control bits the disc had (copy permitted, pre-emphasis); the mode decides data.
  t.controlAdr = uint8_t(t.controlAdr | (mds.U8(at + kTrackAdrCtlAt) & 0x0B));
  const uint64_t extra = mds.Le(at + kTrackExtraAt, 4);
  uint32_t pregap = 0;
  if (dvd) { // DVDs have no extra block: the field holds the length
    t.sectors = uint32_t(extra);
  } else {
    if (extra == 0 || !mds.Has(extra, kExtraSize))
      return FieldError(Reason::kTruncated, path, TrackField(number, "extra block"));
    pregap = uint32_t(mds.Le(extra, 4));
    t.sectors = uint32_t(mds.Le(extra + 4, 4));
  }
  t.firstLba = uint32_t(mds.Le(at + kTrackStartLbaAt, 4));
  if (t.firstLba >= kLayoutMaxSectors)
    return FieldError(Reason::kTrackOrder, path, TrackField(number, "start"));
  t.pregap = std::min(pregap, RoomBefore(*layout, t.firstLba));
  t.fileOffset = mds.Le(at + kTrackStartOffsetAt, 8);
  const uint64_t fileCount = mds.Le(at + kTrackFileCountAt, 4);
  const uint64_t footer = mds.Le(at + kTrackFooterAt, 4);
  if (fileCount > 1) // an image split over several files (large DVDs)
    return FieldError(Reason::kUnsupportedMode, path, TrackField(number, "files"));
  if (fileCount == 0 || footer == 0 || !mds.Has(footer, kFooterSize))
    return FieldError(Reason::kTruncated, path, TrackField(number, "footer"));
  std::u16string name;
  if (FormatError e = FileName(files, path, mds, footer, number, &name))
    return e;
  t.file = FileIndex(layout, name);
  layout->tracks.push_back(t);
  return {};
}

} // namespace

bool IsMediaDescriptor(ImageFiles &files, const std::u16string &path) {
  std::string head;
  return ReadExactly(files, path, 0, kSignatureLength, &head) && head == kSignature;
}

FormatError ReadMediaDescriptor(ImageFiles &files, const std::u16string &path, DiscLayout *layout) {
  *layout = {};
  uint64_t size = 0;
  std::string bytes;
  if (!files.Size(path, &size) || size > kLargestDescriptor ||
      !ReadExactly(files, path, 0, size, &bytes))
    return FieldError(size > kLargestDescriptor ? Reason::kSyntax : Reason::kUnreadable, path,
                      "size");
  const ByteFields mds(std::move(bytes));
  if (!mds.Equals(0, kSignature, kSignatureLength))
    return FieldError(Reason::kSyntax, path, "signature");
  if (!mds.Has(0, kHeaderSize))
    return FieldError(Reason::kTruncated, path, "header");
  // Version 2 (Daemon Tools' and later Alcohol's) is a different, encrypted layout.
  if (mds.U8(kVersionAt) != 1)
    return FieldError(Reason::kUnsupportedMode, path, "version");
  const bool dvd = mds.Le(kMediumAt, 2) >= kFirstDvdMedium;
  const uint64_t sessions = mds.Le(kSessionCountAt, 2);
  if (sessions > 1)
    return FieldError(Reason::kUnsupportedMode, path, "multi-session");
  const uint64_t session = mds.Le(kSessionsAt, 4);
  if (sessions == 0 || !mds.Has(session, kSessionSize))
    return FieldError(Reason::kTruncated, path, "session block");
  const uint64_t blocks = mds.U8(session + kSessionBlockCountAt);
  const uint64_t tracks = mds.Le(session + kSessionTracksAt, 4);
  if (!mds.Has(tracks, blocks * kTrackSize))
    return FieldError(Reason::kTruncated, path, "track blocks");
  for (uint64_t i = 0; i < blocks; ++i) {
    const uint64_t at = tracks + i * kTrackSize;
    const uint8_t point = mds.U8(at + kTrackPointAt);
    if (point == 0 || point > 99) // A0-A2: first and last track, lead-out
      continue;
    if (layout->tracks.size() == kLayoutMaxTracks)
      return FieldError(Reason::kTooManyTracks, path, TrackField(point));
    if (FormatError e = ReadTrack(files, path, mds, at, dvd, layout))
      return e;
  }
  return CheckTracks(files, path, *layout);
}

} // namespace velmor::formats
