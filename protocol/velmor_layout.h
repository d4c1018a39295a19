// The layout record: how the sectors of a disc lie in one or more image files, for images that
// are not a plain run of 2,048-byte sectors (BIN/CUE, NRG, MDS/MDF, CCD/IMG, multi-track and
// audio discs) and for plain images under names other than ".iso". The program builds it from
// the image's descriptor and sends it with IOCTL_VELMOR_ADD_LAYOUT; the registry keeps it for
// the next start. Freestanding, like velmor_protocol.h: the driver, the program and the tests
// share this one copy, the structural check included.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "velmor_protocol.h"

namespace velmor {

// Adds a drive from a layout record, sent as the request's input (the I/O manager copies it
// into the system buffer, so the driver checks and uses a copy the caller cannot change).
inline constexpr uint32_t IOCTL_VELMOR_ADD_LAYOUT =
    ControlCode(kFileDeviceCdRom, 0x805, kMethodBuffered, kFileAnyAccess);

inline constexpr uint32_t kLayoutSignature = 0x59414C56; // "VLAY" in memory order
inline constexpr uint32_t kLayoutVersion = 1;
inline constexpr uint32_t kLayoutMaxTracks = 99;
inline constexpr uint32_t kLayoutMaxFiles = 99;
// The file names, one after another, each ended by a zero code unit.
inline constexpr uint32_t kLayoutNameUnits = 16384;
// A layout disc ends below this many sectors (any size a disc image file can hold; the table
// of contents writes larger addresses as its largest MSF address).
inline constexpr uint32_t kLayoutMaxSectors = 0x40000000;

// Bytes a sector takes in an image file.
inline constexpr uint16_t kStrideCooked = 2048;     // user data only
inline constexpr uint16_t kStrideMode2 = 2336;      // a raw sector without its 16-byte header
inline constexpr uint16_t kStrideRaw = 2352;        // the whole sector as the disc holds it
inline constexpr uint16_t kStrideRawSub = 2448;     // the whole sector, then 96 bytes of subchannel
inline constexpr uint16_t kRawSectorBytes = 2352;   // what a raw read returns for one sector
inline constexpr uint32_t kSectorsBeforeLba0 = 150; // MSF 00:02:00 is logical block 0

// The table-of-contents byte: ADR in the high nibble, control in the low one.
inline constexpr uint8_t kControlData = 0x04; // the control bit of a data track
inline constexpr uint8_t kAdrPosition = 0x10; // ADR 1: Q subchannel carries the position
inline constexpr uint8_t kControlAdrData = kAdrPosition | kControlData;
inline constexpr uint8_t kControlAdrAudio = kAdrPosition;
inline constexpr bool IsDataTrack(uint8_t controlAdr) { return (controlAdr & kControlData) != 0; }

inline constexpr uint8_t kPregapInFile = 1; // LayoutTrack::flags

// One track. Only fields of four bytes or less, aligned to their size: the 32-bit program's
// record reaches the x86-64 driver byte for byte.
struct LayoutTrack {
  uint32_t fileOffsetLow; // file offset of the sector at firstLba
  uint32_t fileOffsetHigh;
  uint32_t firstLba;  // the track's start (index 1) as the table of contents gives it
  uint32_t sectors;   // sectors from firstLba on, all stored in the file
  uint32_t pregap;    // sectors before firstLba that belong to the track (index 0)
  uint16_t stride;    // one of the kStride values
  uint8_t userOffset; // where the 2,048 user bytes begin within a data sector: 0, 8, 16 or 24
  uint8_t file;       // which of the record's names holds the track
  uint8_t number;     // 1 to 99, one more than the track before
  uint8_t controlAdr; // kControlAdrData or kControlAdrAudio (other control bits kept)
  uint8_t flags;      // kPregapInFile: the pregap lies in the file just before firstLba's sector;
                      // otherwise it is not stored and reads as zeros
  uint8_t reserved0;
  uint16_t postgap; // sectors after the last stored one that belong to the track, not stored:
                    // they read as zeros. Only the last track has any; they end before the lead-out
  uint8_t reserved[2];
};
static_assert(sizeof(LayoutTrack) == 32 && offsetof(LayoutTrack, flags) == 26 &&
                  offsetof(LayoutTrack, postgap) == 28,
              "a layout track is 32 bytes");

struct LayoutRecord {
  uint32_t signature; // kLayoutSignature
  uint32_t version;   // kLayoutVersion
  char16_t letter;    // the drive's letter, 'A' to 'Z'
  uint8_t trackCount; // 1 to kLayoutMaxTracks
  uint8_t fileCount;  // 1 to kLayoutMaxFiles
  uint32_t reserved;
  LayoutTrack tracks[kLayoutMaxTracks];
  // fileCount full paths ("C:\discs\a.bin"), each 1 to kMaxDriveImagePathUnits code units
  // and ended by a zero, one after another; what follows the last is ignored.
  char16_t names[kLayoutNameUnits];
};
static_assert(offsetof(LayoutRecord, tracks) == 16 && sizeof(LayoutRecord) == 16 + 99 * 32 + 32768,
              "layout record layout");
static_assert(alignof(LayoutRecord) == 4, "the layout record needs no wider alignment");
inline constexpr uint32_t kLayoutRecordSize = sizeof(LayoutRecord);

inline constexpr uint64_t TrackFileOffset(const LayoutTrack &t) {
  return uint64_t(t.fileOffsetHigh) << 32 | t.fileOffsetLow;
}
// The first logical block after the last track and its postgap: where the lead-out begins.
inline constexpr uint32_t LayoutLeadOut(const LayoutRecord &r) {
  const LayoutTrack &last = r.tracks[r.trackCount - 1];
  return last.firstLba + last.sectors + last.postgap;
}

// What is wrong with a record, first found first; kValid when nothing is.
enum class LayoutFault : uint8_t {
  kValid,
  kHeader,     // signature, version or letter
  kCounts,     // no track or file, or more than the record holds
  kNames,      // a name empty, too long, not ended, or fewer names than fileCount
  kTrackFile,  // a track names a file the record does not have
  kNumbers,    // track numbers not 1-99 or not one more than the track before
  kSectorKind, // stride, user-data offset or audio/data kind not possible together
  kOrder,      // a track empty, starting before the end of the one before, a postgap on a track
               // that is not the last, or the lead-out past the limit
  kFileSpan,   // a track's bytes in its file would end past 2^63, or its stored pregap before 0
};

namespace layout_detail {
inline constexpr bool StrideKnown(uint16_t s) {
  return s == kStrideCooked || s == kStrideMode2 || s == kStrideRaw || s == kStrideRawSub;
}
inline constexpr bool SectorKindValid(const LayoutTrack &t) {
  if (!StrideKnown(t.stride))
    return false;
  if (!IsDataTrack(t.controlAdr)) // audio is only ever stored whole
    return t.stride >= kStrideRaw && t.userOffset == 0;
  const uint32_t o = t.userOffset;
  return (o == 0 || o == 8 || o == 16 || o == 24) && o + kBytesPerSector <= t.stride;
}
} // namespace layout_detail

// The structural check: everything about a record that needs no file. The driver runs it on
// its own copy before it uses a field, and again on a record read back at start-up.
inline constexpr LayoutFault CheckLayoutRecord(const LayoutRecord &r) {
  using namespace layout_detail;
  if (r.signature != kLayoutSignature || r.version != kLayoutVersion || !IsDriveLetter(r.letter))
    return LayoutFault::kHeader;
  if (r.trackCount < 1 || r.trackCount > kLayoutMaxTracks || r.fileCount < 1 ||
      r.fileCount > kLayoutMaxFiles)
    return LayoutFault::kCounts;
  uint32_t at = 0;
  for (uint32_t f = 0; f < r.fileCount; ++f) {
    uint32_t units = 0;
    while (at + units < kLayoutNameUnits && r.names[at + units] != 0)
      ++units;
    if (units == 0 || units > kMaxDriveImagePathUnits || at + units >= kLayoutNameUnits)
      return LayoutFault::kNames;
    at += units + 1;
  }
  for (uint32_t i = 0; i < r.trackCount; ++i)
    if (r.tracks[i].file >= r.fileCount)
      return LayoutFault::kTrackFile;
  for (uint32_t i = 0; i < r.trackCount; ++i) {
    const uint32_t n = r.tracks[i].number;
    if (n < 1 || n > 99 || (i > 0 && n != r.tracks[i - 1].number + 1u))
      return LayoutFault::kNumbers;
  }
  for (uint32_t i = 0; i < r.trackCount; ++i)
    if (!SectorKindValid(r.tracks[i]))
      return LayoutFault::kSectorKind;
  uint32_t end = 0; // the first block after the track before
  for (uint32_t i = 0; i < r.trackCount; ++i) {
    const LayoutTrack &t = r.tracks[i];
    if (t.sectors == 0 || t.pregap > t.firstLba || t.firstLba - t.pregap < end ||
        t.firstLba >= kLayoutMaxSectors || t.sectors > kLayoutMaxSectors - t.firstLba)
      return LayoutFault::kOrder;
    end = t.firstLba + t.sectors;
    // Blocks after a track belong to it only at the disc's end: between tracks they would be
    // a gap, which belongs to neither.
    if (t.postgap != 0 && (i + 1 < r.trackCount || t.postgap > kLayoutMaxSectors - end))
      return LayoutFault::kOrder;
  }
  for (uint32_t i = 0; i < r.trackCount; ++i) {
    const LayoutTrack &t = r.tracks[i];
    const uint64_t offset = TrackFileOffset(t);
    // sectors < 2^30 and stride < 2^12: the span stays below 2^42
    if (offset > (uint64_t(1) << 62) ||
        ((t.flags & kPregapInFile) && offset < uint64_t(t.pregap) * t.stride))
      return LayoutFault::kFileSpan;
  }
  return LayoutFault::kValid;
}

// ---- Raw reads and sessions (the platform's records) --------------------------------------------
// IOCTL_CDROM_RAW_READ's input: the disc offset in bytes (the first block times 2,048), the
// sector count, the mode.
struct RawReadInfo {
  uint32_t diskOffsetLow;
  uint32_t diskOffsetHigh;
  uint32_t sectorCount;
  uint32_t trackMode;
};
static_assert(sizeof(RawReadInfo) == 16, "RAW_READ_INFO is 16 bytes on both processors");
inline constexpr uint32_t kTrackModeYellowMode2 = 0;
inline constexpr uint32_t kTrackModeXaForm2 = 1;
inline constexpr uint32_t kTrackModeCdda = 2;
// IOCTL_CDROM_GET_LAST_SESSION's answer: length, first and last session, one track record.
inline constexpr uint32_t kSessionAnswerSize = 12;

// ---- The registry ------------------------------------------------------------------------------
// The record of a layout drive is kept as a REG_BINARY value, named by the letter, under this
// subkey of kDrivesKey; the drive's REG_SZ value keeps the path the user chose.
inline constexpr char kLayoutsSubkey[] = "Layouts";
inline constexpr char16_t kLayoutsKeySuffix[] = u"\\Parameters\\Layouts";

} // namespace velmor
