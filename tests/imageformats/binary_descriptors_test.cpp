#include <gtest/gtest.h>

#include <functional>

#include "disc_descriptors.h"
#include "memory_files.h"
#include "readers.h"

namespace velmor::formats {
namespace {

using testimages::ImageTrack;
using testimages::NeroSession;
using Reason = FormatError::Reason;

const std::u16string kFolder = u"D:\\discs\\";

// A data track of 20 sectors at block 0, then audio tracks of 10 sectors, each after a pregap
// of 150; in the file one after another from `first`, pregaps stored or not.
std::vector<ImageTrack> Mixed(uint16_t dataSize, bool mode2, int audioTracks, uint16_t audioSize,
                              uint64_t first, bool storedPregaps, uint32_t firstPregap) {
  std::vector<ImageTrack> tracks;
  ImageTrack data;
  data.mode2 = mode2;
  data.size = dataSize;
  data.offset = first;
  data.sectors = 20;
  data.pregap = firstPregap;
  data.pregapStored = storedPregaps;
  tracks.push_back(data);
  for (int i = 0; i < audioTracks; ++i) {
    const ImageTrack &before = tracks.back();
    ImageTrack t;
    t.audio = true;
    t.size = audioSize;
    t.pregap = 150;
    t.pregapStored = storedPregaps;
    t.lba = before.lba + before.sectors + 150;
    t.sectors = 10;
    t.offset = before.offset + uint64_t(before.sectors) * before.size +
               (storedPregaps ? 150 * uint64_t(audioSize) : 0);
    tracks.push_back(t);
  }
  return tracks;
}

uint64_t DataEnd(const std::vector<ImageTrack> &tracks) {
  const ImageTrack &t = tracks.back();
  return t.offset + uint64_t(t.sectors) * t.size;
}

// The files of one image; `spoil` changes the descriptor's bytes (for NRG: the whole file) and
// the image file's before they are stored.
using Spoil = std::function<void(std::string *descriptor, std::string *image)>;
void Keep(std::string *, std::string *) {}

struct Disc {
  MemoryFiles files;
  std::u16string descriptor;
};

Disc Mds(const std::vector<ImageTrack> &tracks, const Spoil &spoil = Keep,
         const std::string &name = "*.mdf", const std::u16string &image = u"disc.mdf") {
  Disc d;
  d.descriptor = kFolder + u"disc.mds";
  std::string mds = testimages::MediaDescriptor(tracks, name);
  std::string mdf(DataEnd(tracks), '\0');
  spoil(&mds, &mdf);
  d.files.contents[d.descriptor] = mds;
  if (!image.empty())
    d.files.contents[kFolder + image] = mdf;
  return d;
}

Disc Nero(const std::vector<ImageTrack> &tracks, bool v2, NeroSession session,
          const Spoil &spoil = Keep) {
  Disc d;
  d.descriptor = kFolder + u"disc.nrg";
  const uint64_t end = DataEnd(tracks);
  std::string nrg = std::string(end, '\0') + testimages::NeroTail(tracks, v2, session, end);
  std::string unused;
  spoil(&nrg, &unused);
  d.files.contents[d.descriptor] = nrg;
  return d;
}

// A field after the last `name` in the bytes (a chunk's size is at +4, its data at +8).
void Put(std::string *b, const std::string &name, size_t plus, uint64_t value, int width,
         bool bigEndian = true) {
  const size_t at = b->rfind(name) + plus;
  for (int i = 0; i < width; ++i)
    (*b)[at + i] = char(value >> (8 * (bigEndian ? width - 1 - i : i)));
}
void PutMds(std::string *b, size_t at, uint64_t value, int width) {
  testimages::SetLe(b, at, value, width);
}

// "2 audio 170 @47040 2352/0 x10 gap 150" (a stored pregap ends in "in file").
std::vector<std::string> Describe(const DiscLayout &layout) {
  std::vector<std::string> out;
  for (const Track &t : layout.tracks)
    out.push_back(std::to_string(t.number) + (IsDataTrack(t.controlAdr) ? " data " : " audio ") +
                  std::to_string(t.firstLba) + " @" + std::to_string(t.fileOffset) + " " +
                  std::to_string(t.stride) + "/" + std::to_string(t.userOffset) + " x" +
                  std::to_string(t.sectors) + " gap " + std::to_string(t.pregap) +
                  (t.pregapInFile ? " in file" : "") +
                  (layout.files.at(t.file) == kFolder + u"disc.nrg" ? "" : " mdf"));
  return out;
}

struct ReadCase {
  const char *name;
  std::function<Disc()> disc;
  std::vector<std::string> tracks = {}; // when it reads
  Reason reason = Reason::kNone;        // when it is refused
  std::string field = {};
  std::u16string file = u"disc.mds"; // the file the refusal names, in kFolder
};

FormatError ReadAny(Disc &d, DiscLayout *layout) {
  return d.descriptor.back() == u's' ? ReadMediaDescriptor(d.files, d.descriptor, layout)
                                     : ReadNeroImage(d.files, d.descriptor, layout);
}

TEST(BinaryDescriptors, ReadToTracksOrRefusedByField) {
  const auto mixed = [] { return Mixed(2352, false, 2, 2352, 0, false, 150); };
  const auto nero = [](bool stored) {
    return Mixed(2352, false, 1, 2352, 150 * 2352, stored, 150);
  };
  const ReadCase cases[] = {
      // ---- MDS with its MDF ----
      {"mds mode 1 raw and audio, pregaps not stored",
       [&] { return Mds(mixed()); },
       {"1 data 0 @0 2352/16 x20 gap 0 mdf", "2 audio 170 @47040 2352/0 x10 gap 150 mdf",
        "3 audio 330 @70560 2352/0 x10 gap 150 mdf"}},
      {"mds mode 2 form 1 and audio with subchannel, a named MDF",
       [] {
         return Mds(Mixed(2448, true, 1, 2448, 0, false, 150), Keep, "光盘 1.mdf", u"光盘 1.mdf");
       },
       {"1 data 0 @0 2448/24 x20 gap 0 mdf", "2 audio 170 @48960 2448/0 x10 gap 150 mdf"}},
      {"mds 2048-byte sectors",
       [] { return Mds(Mixed(2048, false, 0, 0, 0, false, 150)); },
       {"1 data 0 @0 2048/0 x20 gap 0 mdf"}},
      {"mds version 2",
       [&] { return Mds(mixed(), [](std::string *m, std::string *) { (*m)[16] = 2; }); },
       {},
       Reason::kUnsupportedMode,
       "version"},
      {"mds two sessions",
       [&] { return Mds(mixed(), [](std::string *m, std::string *) { PutMds(m, 0x14, 2, 2); }); },
       {},
       Reason::kUnsupportedMode,
       "multi-session"},
      {"mds cut inside the session block",
       [&] { return Mds(mixed(), [](std::string *m, std::string *) { m->resize(0x60); }); },
       {},
       Reason::kTruncated,
       "session block"},
      {"mds track blocks past the end",
       [&] {
         return Mds(mixed(),
                    [](std::string *m, std::string *) { m->resize(testimages::MdsTrackAt(2)); });
       },
       {},
       Reason::kTruncated,
       "track blocks"},
      {"mds mode 2 form 2",
       [&] {
         return Mds(mixed(), [](std::string *m, std::string *) {
           (*m)[testimages::MdsTrackAt(1)] = char(0xAD);
         });
       },
       {},
       Reason::kUnsupportedMode,
       "track 2 mode"},
      {"mds subchannel on 2,352-byte sectors",
       [&] {
         return Mds(mixed(),
                    [](std::string *m, std::string *) { (*m)[testimages::MdsTrackAt(0) + 1] = 8; });
       },
       {},
       Reason::kUnsupportedMode,
       "track 1 sector size"},
      {"mds extra block past the end",
       [&] {
         return Mds(mixed(), [](std::string *m, std::string *) {
           PutMds(m, testimages::MdsTrackAt(2) + 12, 1 << 20, 4);
         });
       },
       {},
       Reason::kTruncated,
       "track 3 extra block"},
      {"mds name not ended",
       [&] { return Mds(mixed(), [](std::string *m, std::string *) { m->pop_back(); }); },
       {},
       Reason::kTruncated,
       "track 1 file name"},
      {"mds tracks overlapping",
       [&] {
         return Mds(mixed(), [](std::string *m, std::string *) {
           PutMds(m, testimages::MdsTrackAt(1) + 36, 19, 4);
         });
       },
       {},
       Reason::kTrackOrder,
       "track 2"},
      {"mds MDF missing",
       [&] { return Mds(mixed(), Keep, "*.mdf", u""); },
       {},
       Reason::kMissingFile,
       "track 1",
       u"disc.mdf"},
      {"mds MDF short of the last track",
       [&] { return Mds(mixed(), [](std::string *, std::string *f) { f->pop_back(); }); },
       {},
       Reason::kTruncated,
       "track 3",
       u"disc.mdf"},
      // ---- NRG: footers, cue, disc-at-once, track-at-once ----
      {"nrg v1 CUES+DAOI, pregaps stored",
       [&] { return Nero(nero(true), false, NeroSession::kDiscAtOnce); },
       {"1 data 0 @352800 2352/16 x20 gap 0", "2 audio 170 @752640 2352/0 x10 gap 150 in file"}},
      {"nrg v2 CUEX+DAOX, mode 2 in 2,336 bytes",
       [] {
         auto t = Mixed(2336, true, 1, 2352, 150 * 2336, true, 150);
         return Nero(t, true, NeroSession::kDiscAtOnce);
       },
       {"1 data 0 @350400 2336/8 x20 gap 0", "2 audio 170 @749920 2352/0 x10 gap 150 in file"}},
      {"nrg v1 ETNF, 2048-byte data and audio",
       [] {
         return Nero(Mixed(2048, false, 1, 2352, 150 * 2048, false, 0), false,
                     NeroSession::kTrackAtOnce);
       },
       {"1 data 0 @307200 2048/0 x20 gap 0", "2 audio 170 @348160 2352/0 x10 gap 150"}},
      {"nrg v2 ETN2, raw mode 2 and audio with subchannel",
       [] {
         return Nero(Mixed(2352, true, 1, 2448, 0, false, 0), true, NeroSession::kTrackAtOnce);
       },
       {"1 data 0 @0 2352/24 x20 gap 0", "2 audio 170 @47040 2448/0 x10 gap 150"}},
      {"nrg chunk running past the footer",
       [&] {
         return Nero(nero(true), true, NeroSession::kDiscAtOnce,
                     [](std::string *n, std::string *) { Put(n, "DAOX", 4, 4096, 4); });
       },
       {},
       Reason::kTruncated,
       "DAOX",
       u"disc.nrg"},
      {"nrg without END!",
       [&] {
         return Nero(
             nero(true), false, NeroSession::kDiscAtOnce,
             [](std::string *n, std::string *) { Put(n, "END!", 0, 0x454E4458 /* ENDX */, 4); });
       },
       {},
       Reason::kTruncated,
       "END!",
       u"disc.nrg"},
      {"nrg track running into the chunk list",
       [&] {
         return Nero(nero(true), false, NeroSession::kDiscAtOnce,
                     [](std::string *n, std::string *) {
                       Put(n, "DAOI", 8 + 22 + 30 + 26, 752640 + 1000 * 2352, 4);
                     });
       },
       {},
       Reason::kTruncated,
       "DAOI",
       u"disc.nrg"},
      {"nrg two sessions",
       [&] {
         return Nero(nero(true), true, NeroSession::kDiscAtOnce,
                     [](std::string *n, std::string *) { Put(n, "MTYP", 0, 0x53494E46, 4); });
       },
       {},
       Reason::kUnsupportedMode,
       "SINF",
       u"disc.nrg"},
      {"nrg unknown mode code",
       [&] {
         return Nero(nero(true), true, NeroSession::kDiscAtOnce,
                     [](std::string *n, std::string *) { Put(n, "DAOX", 8 + 22 + 14, 0x42, 1); });
       },
       {},
       Reason::kUnsupportedMode,
       "track 1 mode",
       u"disc.nrg"},
      {"nrg sector size against its mode",
       [&] {
         return Nero(
             nero(true), false, NeroSession::kDiscAtOnce,
             [](std::string *n, std::string *) { Put(n, "DAOI", 8 + 22 + 30 + 12, 2048, 2); });
       },
       {},
       Reason::kUnsupportedMode,
       "track 2 sector size",
       u"disc.nrg"},
      {"nrg cue without track 2's index 1",
       [&] {
         return Nero(nero(true), true, NeroSession::kDiscAtOnce,
                     [](std::string *n, std::string *) { Put(n, "CUEX", 8 + 4 * 8 + 2, 2, 1); });
       },
       {},
       Reason::kSyntax,
       "CUEX track 2",
       u"disc.nrg"},
      {"nrg v1 footer pointing past itself",
       [&] {
         return Nero(nero(true), false, NeroSession::kDiscAtOnce,
                     [](std::string *n, std::string *) { Put(n, "NERO", 4, 1u << 30, 4); });
       },
       {},
       Reason::kTruncated,
       "footer",
       u"disc.nrg"},
      {"nrg chunk shorter than it is: the next name is garbage",
       [] {
         return Nero(Mixed(2352, true, 1, 2448, 0, false, 0), true, NeroSession::kTrackAtOnce,
                     [](std::string *n, std::string *) { Put(n, "ETN2", 4, 40, 4); });
       },
       {},
       Reason::kSyntax,
       "chunks",
       u"disc.nrg"},
  };
  for (const ReadCase &c : cases) {
    SCOPED_TRACE(c.name);
    Disc d = c.disc();
    d.files.ansi["光盘 1.mdf"] = u"光盘 1.mdf";
    DiscLayout layout;
    const FormatError e = ReadAny(d, &layout);
    if (c.reason == Reason::kNone) {
      EXPECT_FALSE(e) << e.field;
      EXPECT_EQ(Describe(layout), c.tracks);
    } else {
      EXPECT_EQ(e.reason, c.reason);
      EXPECT_EQ(e.field, c.field);
      EXPECT_EQ(e.file, kFolder + c.file);
      EXPECT_EQ(e.line, 0u);
    }
  }
}

TEST(BinaryDescriptors, RecognisedByTheirOwnStructure) {
  const auto tracks = Mixed(2352, false, 1, 2352, 0, false, 150);
  struct Case {
    const char *name;
    std::string bytes;
    bool mds, nero;
  } cases[] = {
      {"mds", testimages::MediaDescriptor(tracks), true, false},
      {"nrg v1",
       std::string(4096, '\0') +
           testimages::NeroTail(tracks, false, NeroSession::kDiscAtOnce, 4096),
       false, true},
      {"nrg v2",
       std::string(4096, '\0') + testimages::NeroTail(tracks, true, NeroSession::kDiscAtOnce, 4096),
       false, true},
      {"NER5 where a v1 footer belongs", std::string(64, '\0') + "NER5" + std::string(4, '\0'),
       false, false},
      {"NERO where a v2 footer belongs", std::string(64, '\0') + "NERO" + std::string(8, '\0'),
       false, false},
      {"signature cut", "MEDIA DESCRIPTO", false, false},
      {"footer alone, too short", "NERO", false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFiles files;
    files.contents[u"x"] = c.bytes;
    EXPECT_EQ(IsMediaDescriptor(files, u"x"), c.mds);
    EXPECT_EQ(IsNeroImage(files, u"x"), c.nero);
  }
}

} // namespace
} // namespace velmor::formats
