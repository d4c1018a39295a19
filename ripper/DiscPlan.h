#pragma once
// What a disc is copied into, decided from its table of contents: one data track of mode 1
// becomes an .iso as before; anything else (audio, several tracks, mode 2 / XA) raw 2,352-byte
// sectors in one .bin per track with a cue sheet that gives the same table of contents back.
#include <cstdint>
#include <string>
#include <vector>

namespace velmor {

constexpr std::uint32_t kRawSector = 2352;
constexpr std::uint32_t kCookedSector = 2048;

// One track as the table of contents gives it: the control nibble (0x04 data, 0x01
// pre-emphasis, 0x02 copy permitted, 0x08 four channels) and its INDEX 01 block.
struct TocTrack {
  std::uint8_t number = 1;
  std::uint8_t control = 0;
  std::uint32_t start = 0;
};

struct DiscToc {
  std::vector<TocTrack> tracks;
  std::uint32_t leadOut = 0;
};

// The answer of IOCTL_CDROM_READ_TOC (MSF addresses): a big-endian length, first and last
// track, eight-byte records, the lead-out's number 0xAA. False when it is cut short, holds
// no track, or its addresses go back.
bool ParseToc(const std::uint8_t *bytes, std::size_t size, DiscToc *toc);

// How a track's sectors are read and written.
enum class TrackForm {
  kAudio,  // CD-DA, 2,352 bytes
  kMode1,  // raw, AUDIO's size with sync and header: MODE1/2352
  kMode2,  // raw mode 2 (XA forms 1 and 2, a Video CD's MPEG tracks): MODE2/2352
  kCooked, // a data track the drive does not read raw: user data only, MODE1/2048
};

// The form of a data track from the mode byte of one of its raw sectors.
TrackForm FormOfRawSector(const std::uint8_t *sector);

// The bytes of the ISO 9660 volume whose primary descriptor (sector 16) is given: its volume
// space size times its block size; 0 when the sector holds no such descriptor.
std::uint64_t Iso9660VolumeBytes(const std::uint8_t *sector16);

// A disc copied as an .iso: one mode 1 data track.
bool IsPlainDataDisc(const DiscToc &toc, TrackForm firstForm);

struct PlannedTrack {
  TocTrack toc;
  TrackForm form = TrackForm::kAudio;
  std::uint32_t first = 0;   // the first block in the track's file (before INDEX 01 for a gap)
  std::uint32_t sectors = 0; // blocks in the file
  std::string file;          // its name, in the image's folder
  std::uint32_t SectorBytes() const {
    return form == TrackForm::kCooked ? kCookedSector : kRawSector;
  }
};

// The files of a BIN/CUE copy named after `base` (the chosen name without ".cue"): "base.bin"
// for one track, "base (Track 01).bin" ... for more. Each track's file runs from its pregap
// (INDEX 00) to the next track's pregap (the lead-out for the last); the first track's pregap
// is every block before it. `forms` gives each track's form, `pregaps` the blocks before a
// later track's INDEX 01 that belong to it (none where not given).
std::vector<PlannedTrack> PlanTracks(const DiscToc &toc, const std::vector<TrackForm> &forms,
                                     const std::string &base,
                                     const std::vector<std::uint32_t> &pregaps = {});

// The cue sheet of the planned files, CR LF line ends.
std::string CueSheetText(const std::vector<PlannedTrack> &tracks);

// "HASH  NAME" lines, LF ends, as `sha1sum -c` reads them (the names as given: sha1sum reads
// UTF-8).
struct FileSum {
  std::string name;
  std::string sha1;
  std::string crc32;
};
std::string Sha1ListText(const std::vector<FileSum> &sums);

// A sector the drive could not read, as it is written into the image: zeros for audio and
// cooked data, a raw data sector's sync and header (its own address and mode) over zeros.
void FillUnreadableSector(TrackForm form, std::uint32_t lba, std::uint8_t *sector);

} // namespace velmor
