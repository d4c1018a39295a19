// Writes the binary descriptors of disc images (Alcohol's MDS, Nero's chunk list and footer)
// as bytes, for the readers' tests and for the test-image generator. Only what the formats
// need for one session of tracks over one image file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmor::testimages {

struct ImageTrack {
  bool audio = false;
  bool mode2 = false;        // a data track in mode 2 form 1 rather than mode 1
  uint16_t size = 2352;      // bytes stored per sector: 2048, 2336, 2352 or 2448
  uint64_t offset = 0;       // file offset of the sector at lba (index 1)
  uint32_t lba = 0;          // index 1
  uint32_t sectors = 0;      // from index 1 on
  uint32_t pregap = 0;       // sectors of index 0 before lba
  bool pregapStored = false; // the pregap lies in the file just before offset
};

// Little- and big-endian fields appended to a byte string.
inline void PutLe(std::string *b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i)
    b->push_back(char(v >> (8 * i)));
}
inline void PutBe(std::string *b, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i)
    b->push_back(char(v >> (8 * i)));
}
inline void SetLe(std::string *b, size_t at, uint64_t v, int width) {
  for (int i = 0; i < width; ++i)
    (*b)[at + i] = char(v >> (8 * i));
}

// ---- Alcohol's media descriptor ------------------------------------------------------------
// Where the builder puts things, for tests that spoil one field.
inline constexpr size_t kMdsSessionAt = 0x58;
inline constexpr size_t kMdsTracksAt = 0x70;
inline constexpr size_t kMdsTrackSize = 80;
inline constexpr size_t kMdsLeadInPoints = 3; // A0, A1, A2 come first
inline size_t MdsTrackAt(size_t index) {
  return kMdsTracksAt + (kMdsLeadInPoints + index) * kMdsTrackSize;
}

inline uint8_t MdsMode(const ImageTrack &t) { return t.audio ? 0xA9 : t.mode2 ? 0xAC : 0xAA; }

// The descriptor of `tracks`, all in the image file `name` ("*.mdf": the descriptor's own
// name). Pregaps are never stored in an MDF.
inline std::string MediaDescriptor(const std::vector<ImageTrack> &tracks,
                                   const std::string &name = "*.mdf") {
  const size_t count = tracks.size();
  const size_t extras = MdsTrackAt(count);
  const size_t footer = extras + 8 * count;
  std::string b("MEDIA DESCRIPTOR", 16);
  b += std::string{1, 3}; // version 1.3
  PutLe(&b, 0, 2);        // CD-ROM
  PutLe(&b, 1, 2);        // sessions
  b.resize(0x50, '\0');
  PutLe(&b, kMdsSessionAt, 4);
  PutLe(&b, 0, 4); // no DPM data
  const ImageTrack &last = tracks.back();
  PutLe(&b, uint32_t(-150), 4);
  PutLe(&b, last.lba + last.sectors, 4);
  PutLe(&b, 1, 2);
  b.push_back(char(kMdsLeadInPoints + count));
  b.push_back(char(kMdsLeadInPoints));
  PutLe(&b, 1, 2);
  PutLe(&b, count, 2);
  PutLe(&b, 0, 4);
  PutLe(&b, kMdsTracksAt, 4);
  auto block = [&](uint8_t point, const ImageTrack *t, size_t index) {
    std::string k(kMdsTrackSize, '\0');
    const bool data = t ? !t->audio : !tracks[0].audio;
    k[0] = char(t ? MdsMode(*t) : 0);
    k[1] = char(t && t->size == 2448 ? 8 : 0);
    k[2] = char(data ? 0x14 : 0x10);
    k[4] = char(point);
    const uint32_t at = t ? t->lba + 150 : point == 0xA0 ? 1 : point == 0xA1 ? count : 0;
    k[9] = char(t || point == 0xA2 ? at / 4500 : at); // PMIN; A0/A1 hold a track number
    k[10] = char(t ? at / 75 % 60 : 0);
    k[11] = char(t ? at % 75 : 0);
    if (point == 0xA2) {
      const uint32_t out = last.lba + last.sectors + 150;
      k[9] = char(out / 4500), k[10] = char(out / 75 % 60), k[11] = char(out % 75);
    }
    if (t) {
      SetLe(&k, 12, extras + 8 * index, 4);
      SetLe(&k, 16, t->size, 2);
      SetLe(&k, 36, t->lba, 4);
      SetLe(&k, 40, t->offset, 8);
      SetLe(&k, 48, 1, 4);
      SetLe(&k, 52, footer, 4);
    }
    b += k;
  };
  block(0xA0, nullptr, 0);
  block(0xA1, nullptr, 0);
  block(0xA2, nullptr, 0);
  for (size_t i = 0; i < count; ++i)
    block(uint8_t(i + 1), &tracks[i], i);
  for (const ImageTrack &t : tracks) {
    PutLe(&b, t.pregap, 4);
    PutLe(&b, t.sectors, 4);
  }
  PutLe(&b, footer + 16, 4); // the name follows the footer
  PutLe(&b, 0, 4);           // 8-bit name
  PutLe(&b, 0, 8);
  b += name;
  b.push_back('\0');
  return b;
}

// ---- Nero's image ----------------------------------------------------------------------------
inline uint8_t NeroMode(const ImageTrack &t) {
  if (t.audio)
    return t.size == 2448 ? 0x10 : 0x07;
  switch (t.size) {
  case 2048:
    return t.mode2 ? 0x02 : 0x00;
  case 2336:
    return 0x03;
  case 2448:
    return t.mode2 ? 0x11 : 0x0F;
  default:
    return t.mode2 ? 0x06 : 0x05;
  }
}

enum class NeroSession { kDiscAtOnce, kTrackAtOnce };

// One chunk: its name, big-endian size, data.
inline std::string NeroChunk(const std::string &name, const std::string &data) {
  std::string b = name;
  PutBe(&b, data.size(), 4);
  return b + data;
}

inline std::string NeroCue(const std::vector<ImageTrack> &tracks, bool v2) {
  std::string b;
  auto entry = [&](uint8_t ctl, uint8_t track, uint8_t index, int64_t lba) {
    b.push_back(char(ctl));
    b.push_back(char(track));
    b.push_back(char(index));
    b.push_back('\0');
    if (v2) {
      PutBe(&b, uint32_t(int32_t(lba)), 4);
    } else {
      const int64_t at = lba + 150;
      b.push_back('\0');
      b.push_back(char(at / 4500));
      b.push_back(char(at / 75 % 60));
      b.push_back(char(at % 75));
    }
  };
  auto bcd = [](unsigned n) { return uint8_t(n / 10 * 16 + n % 10); };
  auto ctl = [](const ImageTrack &t) { return uint8_t(t.audio ? 0x01 : 0x41); };
  entry(ctl(tracks[0]), 0, 0, -150);
  for (size_t i = 0; i < tracks.size(); ++i) {
    const ImageTrack &t = tracks[i];
    entry(ctl(t), bcd(unsigned(i + 1)), 0, i == 0 ? -150 : int64_t(t.lba) - t.pregap);
    entry(ctl(t), bcd(unsigned(i + 1)), 1, t.lba);
  }
  const ImageTrack &last = tracks.back();
  entry(ctl(last), 0xAA, 1, last.lba + last.sectors);
  return NeroChunk(v2 ? "CUEX" : "CUES", b);
}

inline std::string NeroDao(const std::vector<ImageTrack> &tracks, bool v2) {
  const int width = v2 ? 8 : 4;
  std::string b;
  PutBe(&b, 22 + tracks.size() * (18 + 3 * width), 4);
  b.append(14, '\0'); // catalogue number
  PutBe(&b, tracks[0].audio ? 0 : 1, 2);
  b.push_back(1);
  b.push_back(char(tracks.size()));
  for (const ImageTrack &t : tracks) {
    b.append(12, '\0'); // ISRC
    PutBe(&b, t.size, 2);
    b.push_back(char(NeroMode(t)));
    b += std::string("\0\0\1", 3);
    const uint64_t stored = t.pregapStored ? uint64_t(t.pregap) * t.size : 0;
    PutBe(&b, t.offset - stored, width);
    PutBe(&b, t.offset, width);
    PutBe(&b, t.offset + uint64_t(t.sectors) * t.size, width);
  }
  return NeroChunk(v2 ? "DAOX" : "DAOI", b);
}

inline std::string NeroTao(const std::vector<ImageTrack> &tracks, bool v2) {
  const int width = v2 ? 8 : 4;
  std::string b;
  for (const ImageTrack &t : tracks) {
    PutBe(&b, t.offset, width);
    PutBe(&b, uint64_t(t.sectors) * t.size, width);
    PutBe(&b, NeroMode(t), 4);
    PutBe(&b, t.lba, 4);
    PutBe(&b, 0, width);
  }
  return NeroChunk(v2 ? "ETN2" : "ETNF", b);
}

// What follows the tracks' sectors in an .nrg whose chunk list begins at `listOffset`: the
// chunks (the cue only for disc-at-once, as Nero writes it) and the footer.
inline std::string NeroTail(const std::vector<ImageTrack> &tracks, bool v2, NeroSession session,
                            uint64_t listOffset) {
  std::string b;
  if (session == NeroSession::kDiscAtOnce)
    b += NeroCue(tracks, v2) + NeroDao(tracks, v2);
  else
    b += NeroTao(tracks, v2);
  std::string count, medium;
  PutBe(&count, tracks.size(), 4);
  PutBe(&medium, 1, 4);
  b += NeroChunk("SINF", count) + NeroChunk("MTYP", medium) + NeroChunk("END!", "");
  if (v2) {
    b += "NER5";
    PutBe(&b, listOffset, 8);
  } else {
    b += "NERO";
    PutBe(&b, listOffset, 4);
  }
  return b;
}

} // namespace velmor::testimages
