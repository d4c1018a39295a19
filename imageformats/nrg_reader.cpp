// Nero's image (.nrg): the tracks' sectors first, then a list of chunks, then a footer that
// points at the list: "NERO" and a 32-bit offset (version 1) or "NER5" and a 64-bit one
// (version 2), big-endian like every field. Each chunk is a four-letter name, a 32-bit size
// and its data; the list ends with "END!". Version 2 chunks end in X or 2 and hold 64-bit
// offsets and, in the cue, logical blocks instead of MSF addresses.
//   CUES/CUEX  the cue: ctl/adr, track (BCD), index (BCD), then the index's address
//   DAOI/DAOX  a disc-at-once session: per track its sector size, mode code and the file
//              offsets of index 0, index 1 and its end (the pregap is stored)
//   ETNF/ETN2  a track-at-once session: per track offset, length, mode code (and a block
//              field read differently by different programs, left alone here)
//   SINF       one per session; MTYP the medium; others (CDTX, AFNM, ...) are skipped
#include <map>

#include "binary_tracks.h"
#include "byte_fields.h"
#include "readers.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

constexpr uint64_t kLargestChunkList = 1 << 20;
constexpr uint32_t kTrackAtOnceGap = 150;

struct Footer {
  uint64_t chunks = 0; // where the chunk list begins
  uint64_t end = 0;    // where the footer begins
};

bool FindFooter(ImageFiles &files, const std::u16string &path, Footer *footer) {
  uint64_t size = 0;
  std::string tail;
  if (!files.Size(path, &size) || size < 12 || !ReadExactly(files, path, size - 12, 12, &tail))
    return false;
  const ByteFields f(std::move(tail));
  if (f.Equals(0, "NER5", 4)) {
    *footer = {f.Be(4, 8), size - 12};
    return true;
  }
  if (f.Equals(4, "NERO", 4)) {
    *footer = {f.Be(8, 4), size - 8};
    return true;
  }
  return false;
}

struct Chunk {
  std::string name;
  uint64_t data = 0; // offset in the chunk list
  uint64_t size = 0;
  bool wide = false; // version 2: 64-bit offsets, cue in logical blocks
};

// The sector kind and stored size of Nero's mode codes.
bool ModeShape(uint64_t code, SectorKind *kind, uint16_t *size) {
  static const std::map<uint64_t, std::pair<SectorKind, uint16_t>> kModes = {
      {0x00, {SectorKind::kMode1, kStrideCooked}},
      {0x02, {SectorKind::kMode2Form1, kStrideCooked}},
      {0x03, {SectorKind::kMode2Form1, kStrideMode2}},
      {0x05, {SectorKind::kMode1, kStrideRaw}},
      {0x06, {SectorKind::kMode2Form1, kStrideRaw}},
      {0x07, {SectorKind::kAudio, kStrideRaw}},
      {0x0F, {SectorKind::kMode1, kStrideRawSub}},
      {0x10, {SectorKind::kAudio, kStrideRawSub}},
      {0x11, {SectorKind::kMode2Form1, kStrideRawSub}},
  };
  const auto it = kModes.find(code);
  if (it == kModes.end())
    return false;
  std::tie(*kind, *size) = it->second;
  return true;
}

uint8_t FromBcd(uint8_t b) { return uint8_t((b >> 4) * 10 + (b & 0x0F)); }

class NeroReader {
public:
  NeroReader(ImageFiles &files, const std::u16string &path, const ByteFields &list,
             uint64_t listOffset)
      : files_(files), path_(path), list_(list), listOffset_(listOffset) {}

  FormatError Read(DiscLayout *layout) {
    std::vector<Chunk> sessions;
    const Chunk *cue = nullptr;
    std::vector<Chunk> chunks;
    if (FormatError e = Chunks(&chunks))
      return e;
    unsigned sinf = 0;
    for (const Chunk &c : chunks) {
      if (c.name == "CUES" || c.name == "CUEX")
        cue = &c;
      else if (c.name == "DAOI" || c.name == "DAOX" || c.name == "ETNF" || c.name == "ETN2")
        sessions.push_back(c);
      else if (c.name == "SINF")
        ++sinf;
    }
    if (sinf > 1 || sessions.size() > 1)
      return FieldError(Reason::kUnsupportedMode, path_, "SINF");
    if (sessions.empty())
      return FieldError(Reason::kTruncated, path_, "DAOX");
    if (cue && !ReadCue(*cue))
      return FieldError(Reason::kTruncated, path_, cue->name);
    layout->files = {path_};
    const Chunk &s = sessions[0];
    FormatError e = s.name[0] == 'D' ? ReadDao(s, cue, layout) : ReadEtn(s, layout);
    return e ? e : CheckTracks(files_, path_, *layout);
  }

private:
  FormatError Chunks(std::vector<Chunk> *chunks) {
    for (uint64_t at = 0;;) {
      if (!list_.Has(at, 8))
        return FieldError(Reason::kTruncated, path_, chunks->empty() ? "chunks" : "END!");
      Chunk c{list_.bytes().substr(at, 4), at + 8, list_.Be(at + 4, 4), false};
      c.wide = c.name.back() == 'X' || c.name.back() == '2';
      for (char letter : c.name) // a size that is wrong puts the next name inside data
        if (letter < 0x21 || letter > 0x7E)
          return FieldError(Reason::kSyntax, path_, "chunks");
      if (!list_.Has(c.data, c.size))
        return FieldError(Reason::kTruncated, path_, c.name);
      if (c.name == "END!")
        return {};
      chunks->push_back(c);
      at = c.data + c.size;
    }
  }

  // Index 1 of each track, by track number.
  bool ReadCue(const Chunk &c) {
    if (c.size % 8 != 0)
      return false;
    for (uint64_t at = c.data; at < c.data + c.size; at += 8) {
      const uint8_t track = FromBcd(list_.U8(at + 1));
      if (track == 0 || track > 99 || list_.U8(at + 2) != 1)
        continue; // lead-in, lead-out, index 0
      int64_t lba;
      if (c.wide) {
        lba = int32_t(uint32_t(list_.Be(at + 4, 4)));
      } else { // 0, minute, second, frame, counted from the lead-in's two seconds
        lba = (int64_t(list_.U8(at + 5)) * 60 + list_.U8(at + 6)) * 75 + list_.U8(at + 7) -
              int64_t(kSectorsBeforeLba0);
      }
      starts_[track] = lba;
    }
    return true;
  }

  FormatError ReadDao(const Chunk &c, const Chunk *cue, DiscLayout *layout) {
    constexpr uint64_t kHeader = 22, kFirstAt = 20, kLastAt = 21;
    const uint64_t entry = c.wide ? 42 : 30;
    const int width = c.wide ? 8 : 4;
    if (c.size < kHeader)
      return FieldError(Reason::kTruncated, path_, c.name);
    const unsigned first = list_.U8(c.data + kFirstAt), last = list_.U8(c.data + kLastAt);
    if (first != 1 || last < first || last > kLayoutMaxTracks)
      return FieldError(Reason::kTrackOrder, path_, c.name);
    if (c.size < kHeader + (last - first + 1) * entry)
      return FieldError(Reason::kTruncated, path_, c.name);
    for (unsigned n = first; n <= last; ++n) {
      const uint64_t at = c.data + kHeader + (n - first) * entry;
      Track t;
      t.number = uint8_t(n);
      SectorKind kind;
      uint16_t size;
      if (!ModeShape(list_.U8(at + 14), &kind, &size))
        return FieldError(Reason::kUnsupportedMode, path_, TrackField(n, "mode"));
      if (list_.Be(at + 12, 2) != size || !SetSectorShape(kind, size, &t))
        return FieldError(Reason::kUnsupportedMode, path_, TrackField(n, "sector size"));
      const uint64_t index0 = list_.Be(at + 18, width), index1 = list_.Be(at + 18 + width, width),
                     end = list_.Be(at + 18 + 2 * width, width);
      if (index0 > index1 || index1 > end || (index1 - index0) % size || (end - index1) % size)
        return FieldError(Reason::kSyntax, path_, TrackField(n));
      if (end > listOffset_) // the track's sectors would run into the chunk list
        return FieldError(Reason::kTruncated, path_, c.name);
      if (end - index1 >= uint64_t(kLayoutMaxSectors) * size)
        return FieldError(Reason::kTrackOrder, path_, TrackField(n));
      t.sectors = uint32_t((end - index1) / size);
      t.fileOffset = index1;
      const uint64_t stored = (index1 - index0) / size;
      if (cue) {
        const auto it = starts_.find(n);
        if (it == starts_.end() || it->second < 0 || it->second >= kLayoutMaxSectors)
          return FieldError(Reason::kSyntax, path_, cue->name + " " + TrackField(n));
        t.firstLba = uint32_t(it->second);
      } else { // no cue: the tracks follow one another, each after its stored pregap
        const uint64_t lba =
            layout->tracks.empty()
                ? 0
                : layout->tracks.back().firstLba + uint64_t(layout->tracks.back().sectors) + stored;
        if (lba >= kLayoutMaxSectors)
          return FieldError(Reason::kTrackOrder, path_, TrackField(n));
        t.firstLba = uint32_t(lba);
      }
      t.pregap = uint32_t(std::min<uint64_t>(stored, RoomBefore(*layout, t.firstLba)));
      t.pregapInFile = t.pregap > 0;
      layout->tracks.push_back(t);
    }
    return {};
  }

  FormatError ReadEtn(const Chunk &c, DiscLayout *layout) {
    const uint64_t entry = c.wide ? 32 : 20;
    const int width = c.wide ? 8 : 4;
    if (c.size == 0 || c.size % entry)
      return FieldError(Reason::kTruncated, path_, c.name);
    if (c.size / entry > kLayoutMaxTracks)
      return FieldError(Reason::kTooManyTracks, path_, c.name);
    for (unsigned n = 1; n <= c.size / entry; ++n) {
      const uint64_t at = c.data + (n - 1) * entry;
      Track t;
      t.number = uint8_t(n);
      SectorKind kind;
      uint16_t size;
      if (!ModeShape(list_.Be(at + 2 * width, 4), &kind, &size) || !SetSectorShape(kind, size, &t))
        return FieldError(Reason::kUnsupportedMode, path_, TrackField(n, "mode"));
      const uint64_t offset = list_.Be(at, width), length = list_.Be(at + width, width);
      if (length % size || length / size >= kLayoutMaxSectors)
        return FieldError(Reason::kSyntax, path_, TrackField(n));
      if (offset > listOffset_ || length > listOffset_ - offset)
        return FieldError(Reason::kTruncated, path_, c.name);
      t.fileOffset = offset;
      t.sectors = uint32_t(length / size);
      // Written track at once, each track after the first follows a two-second gap that the
      // image does not store. The entry's own block field is left alone: images disagree on
      // what it counts from.
      if (!layout->tracks.empty()) {
        const Track &before = layout->tracks.back();
        const uint64_t lba = uint64_t(before.firstLba) + before.sectors + kTrackAtOnceGap;
        if (lba >= kLayoutMaxSectors)
          return FieldError(Reason::kTrackOrder, path_, TrackField(n));
        t.firstLba = uint32_t(lba);
        t.pregap = kTrackAtOnceGap;
      }
      layout->tracks.push_back(t);
    }
    return {};
  }

  ImageFiles &files_;
  const std::u16string &path_;
  const ByteFields &list_;
  const uint64_t listOffset_;
  std::map<unsigned, int64_t> starts_;
};

} // namespace

bool IsNeroImage(ImageFiles &files, const std::u16string &path) {
  Footer footer;
  return FindFooter(files, path, &footer);
}

FormatError ReadNeroImage(ImageFiles &files, const std::u16string &path, DiscLayout *layout) {
  *layout = {};
  Footer footer;
  if (!FindFooter(files, path, &footer))
    return FieldError(Reason::kUnreadable, path, "footer");
  if (footer.chunks > footer.end || footer.end - footer.chunks > kLargestChunkList)
    return FieldError(Reason::kTruncated, path, "footer");
  std::string bytes;
  if (!ReadExactly(files, path, footer.chunks, footer.end - footer.chunks, &bytes))
    return FieldError(Reason::kUnreadable, path, "chunks");
  const ByteFields list(std::move(bytes));
  return NeroReader(files, path, list, footer.chunks).Read(layout);
}

} // namespace velmor::formats
