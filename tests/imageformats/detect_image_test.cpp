#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "layout_text.h"
#include "memory_files.h"
#include "readers.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

enum class Volume { kNone, kIso9660, kUdfAnchor };

// 2,048-byte user sectors, with a volume descriptor at 16 or a UDF anchor at 256.
std::string UserSectors(uint32_t count, Volume volume) {
  std::string s(size_t(count) * 2048, '\0');
  if (volume == Volume::kIso9660 && count > 16)
    std::memcpy(&s[16 * 2048],
                "\x01"
                "CD001",
                6);
  if (volume == Volume::kUdfAnchor && count > 256) {
    char *tag = &s[256 * 2048];
    tag[0] = 2;  // anchor volume descriptor pointer
    tag[13] = 1; // its own location, 256, little-endian
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      sum = uint8_t(sum + (i == 4 ? 0 : uint8_t(tag[i])));
    tag[4] = char(sum);
  }
  return s;
}

// The same sectors as raw 2,352-byte ones: sync, header with the mode, mode 2's subheader.
std::string RawSectors(const std::string &user, int mode, bool form2 = false) {
  std::string out;
  for (size_t at = 0; at < user.size(); at += 2048) {
    std::string sector(2352, '\0');
    std::memset(&sector[1], 0xFF, 10);
    sector[15] = char(mode);
    if (mode == 2)
      sector[18] = sector[22] = form2 ? 0x20 : 0;
    std::memcpy(&sector[mode == 1 ? 16 : 24], user.data() + at, 2048);
    out += sector;
  }
  return out;
}

struct DetectRow {
  const char *name;
  std::u16string path;
  std::vector<std::pair<std::u16string, std::string>> files;
  ImageKind kind;
  bool volumeFound;
  bool volumeExpected;
  std::vector<std::string> tracks = {}; // for layouts
  Reason error = Reason::kNone;
};

const std::string kVelmorHeader(0x10000, 'V');

std::string CueOf(const char *name, const char *mode) {
  return std::string("FILE \"") + name + "\" BINARY\nTRACK 01 " + mode + "\nINDEX 01 00:00:00\n";
}

const DetectRow kDetectRows[] = {
    {"a cue sheet, whatever its name",
     u"C:\\d\\disc.txt",
     {{u"C:\\d\\disc.txt", CueOf("a.bin", "MODE1/2352")},
      {u"C:\\d\\a.bin", RawSectors(UserSectors(20, Volume::kIso9660), 1)}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=14 f0 @0 2352/16 lba 0+20 gap 0"}},
    {"a cue sheet's error is the image's",
     u"C:\\d\\disc.cue",
     {{u"C:\\d\\disc.cue", CueOf("gone.bin", "MODE1/2352")}},
     ImageKind::kLayout,
     false,
     true,
     {},
     Reason::kMissingFile},
    {"a cue sheet with a wrong line further down is refused, not mounted otherwise",
     u"C:\\d\\disc.cue",
     {{u"C:\\d\\disc.cue", CueOf("a.bin", "MODE1/2352") + "BOGUS\n"},
      {u"C:\\d\\a.bin", RawSectors(UserSectors(20, Volume::kIso9660), 1)}},
     ImageKind::kLayout,
     false,
     true,
     {},
     Reason::kSyntax},
    {"text that is no cue sheet",
     u"C:\\d\\notes.txt",
     {{u"C:\\d\\notes.txt", "shopping\nFILE a.bin BINARY\nTRACK 01 AUDIO\n"}},
     ImageKind::kVelmor,
     false,
     true,
     {},
     Reason::kTooSmall},
    {"a cue sheet with only a FILE line is a descriptor not understood",
     u"C:\\d\\disc.cue",
     {{u"C:\\d\\disc.cue", "REM made by hand\r\nFILE \"a.bin\" BINARY\r\n"},
      {u"C:\\d\\a.bin", RawSectors(UserSectors(20, Volume::kIso9660), 1)}},
     ImageKind::kVelmor,
     false,
     true,
     {},
     Reason::kNotUnderstood},
    {"the volume is looked for at the first data track, after the audio",
     u"C:\\d\\disc.cue",
     {{u"C:\\d\\disc.cue", "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                           "FILE d.bin BINARY\nTRACK 02 MODE2/2352\nINDEX 01 00:00:00\n"},
      {u"C:\\d\\a.bin", std::string(300 * 2352, '\0')},
      {u"C:\\d\\d.bin", RawSectors(UserSectors(20, Volume::kIso9660), 2)}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=10 f0 @0 2352/0 lba 0+300 gap 0", "#2 ca=14 f1 @0 2352/24 lba 300+20 gap 0"}},
    {"an audio disc expects no volume",
     u"C:\\d\\disc.cue",
     {{u"C:\\d\\disc.cue", CueOf("a.bin", "AUDIO")}, {u"C:\\d\\a.bin", std::string(2352, '\0')}},
     ImageKind::kLayout,
     false,
     false,
     {"#1 ca=10 f0 @0 2352/0 lba 0+1 gap 0"}},
    {"a data track too short for a volume",
     u"C:\\d\\disc.cue",
     {{u"C:\\d\\disc.cue", CueOf("a.bin", "MODE1/2352")},
      {u"C:\\d\\a.bin", RawSectors(UserSectors(17, Volume::kIso9660), 1)}},
     ImageKind::kLayout,
     false,
     true,
     {},
     Reason::kTooSmall},
    {"a CloneCD control file",
     u"C:\\d\\disc.ccd",
     {{u"C:\\d\\disc.ccd", "[CloneCD]\nVersion=3\n[Disc]\nSessions=1\n[Entry 0]\nPoint=0xa2\n"
                           "PLBA=20\n[Entry 1]\nPoint=1\nControl=4\nPLBA=0\n[TRACK 1]\nMODE=1\n"},
      {u"C:\\d\\disc.img", RawSectors(UserSectors(20, Volume::kIso9660), 1)}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=14 f0 @0 2352/16 lba 0+20 gap 0"}},
    {"a CloneCD control file after a comment",
     u"C:\\d\\disc.ccd",
     {{u"C:\\d\\disc.ccd", "; saved by hand\n\n[CloneCD]\nVersion=3\n[Disc]\nSessions=1\n"
                           "[Entry 0]\nPoint=0xa2\nPLBA=20\n[Entry 1]\nPoint=1\nControl=4\n"
                           "PLBA=0\n[TRACK 1]\nMODE=1\n"},
      {u"C:\\d\\disc.img", RawSectors(UserSectors(20, Volume::kIso9660), 1)}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=14 f0 @0 2352/16 lba 0+20 gap 0"}},
    {"raw mode 1 sectors",
     u"C:\\d\\disc.bin",
     {{u"C:\\d\\disc.bin", RawSectors(UserSectors(20, Volume::kIso9660), 1) + "tail"}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=14 f0 @0 2352/16 lba 0+20 gap 0"}},
    {"raw mode 2 form 1 sectors named .ISO are raw",
     u"C:\\d\\DISC.ISO",
     {{u"C:\\d\\DISC.ISO", RawSectors(UserSectors(20, Volume::kIso9660), 2)}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=14 f0 @0 2352/24 lba 0+20 gap 0"}},
    {"raw mode 2 form 2 sectors hold no volume descriptor",
     u"C:\\d\\disc.bin",
     {{u"C:\\d\\disc.bin", RawSectors(UserSectors(50, Volume::kIso9660), 2, true)}},
     ImageKind::kVelmor,
     false,
     true},
    {"a .ISO name in capitals keeps the ISO format",
     u"C:\\d\\DISC.ISO",
     {{u"C:\\d\\DISC.ISO", UserSectors(20, Volume::kIso9660)}},
     ImageKind::kIso,
     true,
     true},
    {"an .iso without a volume is still the ISO format",
     u"C:\\d\\disc.iso",
     {{u"C:\\d\\disc.iso", UserSectors(20, Volume::kNone)}},
     ImageKind::kIso,
     false,
     true},
    {"an .iso too small",
     u"C:\\d\\disc.iso",
     {{u"C:\\d\\disc.iso", UserSectors(17, Volume::kIso9660)}},
     ImageKind::kIso,
     false,
     true,
     {},
     Reason::kTooSmall},
    {"2,048-byte sectors under another name",
     u"C:\\d\\disc.img",
     {{u"C:\\d\\disc.img", UserSectors(20, Volume::kIso9660)}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=14 f0 @0 2048/0 lba 0+20 gap 0"}},
    {"2,048-byte sectors with only a UDF anchor",
     u"C:\\d\\disc",
     {{u"C:\\d\\disc", UserSectors(300, Volume::kUdfAnchor)}},
     ImageKind::kLayout,
     true,
     true,
     {"#1 ca=14 f0 @0 2048/0 lba 0+300 gap 0"}},
    {"the VELMOR format: its volume after the 64 KiB header",
     u"C:\\d\\disc.img",
     {{u"C:\\d\\disc.img", kVelmorHeader + UserSectors(300, Volume::kIso9660)}},
     ImageKind::kVelmor,
     true,
     true},
    {"the VELMOR format with a UDF volume",
     u"C:\\d\\disc.img",
     {{u"C:\\d\\disc.img", kVelmorHeader + UserSectors(300, Volume::kUdfAnchor)}},
     ImageKind::kVelmor,
     true,
     true},
    {"no volume anywhere",
     u"C:\\d\\disc.img",
     {{u"C:\\d\\disc.img", kVelmorHeader + UserSectors(18, Volume::kNone)}},
     ImageKind::kVelmor,
     false,
     true},
    {"the VELMOR format too small",
     u"C:\\d\\disc.img",
     {{u"C:\\d\\disc.img", kVelmorHeader + UserSectors(17, Volume::kIso9660)}},
     ImageKind::kVelmor,
     false,
     true,
     {},
     Reason::kTooSmall},
    {"an empty file",
     u"C:\\d\\empty.img",
     {{u"C:\\d\\empty.img", ""}},
     ImageKind::kVelmor,
     false,
     true,
     {},
     Reason::kTooSmall},
    {"no file", u"C:\\d\\gone.img", {}, ImageKind::kVelmor, false, true, {}, Reason::kUnreadable},
    {"a CHD under an .iso name: served, by its content",
     u"C:\\d\\game.iso",
     {{u"C:\\d\\game.iso", std::string("MComprHD") + UserSectors(20, Volume::kIso9660)}},
     ImageKind::kServed,
     false,
     false},
};

TEST(DetectImage, Table) {
  for (const DetectRow &row : kDetectRows) {
    SCOPED_TRACE(row.name);
    MemoryFiles files;
    for (const auto &[path, bytes] : row.files)
      files.contents[path] = bytes;
    const DetectedImage image = DetectImage(files, row.path);
    EXPECT_EQ(int(image.error.reason), int(row.error)) << image.error.field;
    if (row.error != Reason::kNone)
      continue;
    EXPECT_EQ(int(image.kind), int(row.kind));
    EXPECT_EQ(image.volumeFound, row.volumeFound);
    EXPECT_EQ(image.volumeExpected, row.volumeExpected);
    EXPECT_EQ(TracksText(image.layout), row.tracks);
    if (image.kind == ImageKind::kLayout)
      ExpectRecordAccepted(image.layout);
  }
}

// A file far larger than its stored start, which counts the bytes read from it.
class HugeFile : public MemoryFiles {
public:
  uint64_t bytesRead = 0;
  bool Size(const std::u16string &path, uint64_t *size) override {
    *size = uint64_t(6) << 30;
    return contents.count(path) != 0;
  }
  bool Read(const std::u16string &path, uint64_t offset, void *buffer, uint32_t length,
            uint32_t *got) override {
    bytesRead += length;
    const bool ok = MemoryFiles::Read(path, offset, buffer, length, got);
    std::memset(static_cast<char *>(buffer) + *got, 0, length - *got);
    *got = length;
    return ok;
  }
};

TEST(DetectImage, LooksAtAFewSectorsOfAHugeFile) {
  for (const std::u16string name : {u"C:\\d\\big.iso", u"C:\\d\\big.img", u"C:\\d\\big.bin"}) {
    HugeFile files;
    files.contents[name] = name == u"C:\\d\\big.bin"
                               ? RawSectors(UserSectors(20, Volume::kIso9660), 1)
                               : kVelmorHeader + UserSectors(20, Volume::kNone);
    const DetectedImage image = DetectImage(files, name);
    EXPECT_FALSE(image.error);
    EXPECT_LT(files.bytesRead, 64u * 1024) << "bytes read of 6 GiB";
  }
}

// ---- The layout record ------------------------------------------------------------------------

DiscLayout TwoTracks() {
  DiscLayout layout;
  layout.files = {u"C:\\d\\data.bin", u"C:\\d\\audio.bin"};
  Track data;
  data.stride = kStrideRaw;
  data.userOffset = 16;
  data.sectors = 300;
  Track audio;
  audio.number = 2;
  audio.controlAdr = kControlAdrAudio;
  audio.file = 1;
  audio.fileOffset = 150 * kStrideRaw;
  audio.stride = kStrideRaw;
  audio.firstLba = 450;
  audio.sectors = 300;
  audio.pregap = 150;
  audio.pregapInFile = true;
  layout.tracks = {data, audio};
  return layout;
}

struct RecordRow {
  const char *name;
  std::function<void(LayoutRecord &)> spoil;
  LayoutFault fault;
};

const RecordRow kRecordRows[] = {
    {"as made", [](LayoutRecord &) {}, LayoutFault::kValid},
    {"signature", [](LayoutRecord &r) { r.signature ^= 1; }, LayoutFault::kHeader},
    {"version", [](LayoutRecord &r) { r.version = 2; }, LayoutFault::kHeader},
    {"letter", [](LayoutRecord &r) { r.letter = u'a'; }, LayoutFault::kHeader},
    {"no track", [](LayoutRecord &r) { r.trackCount = 0; }, LayoutFault::kCounts},
    {"files past the record's", [](LayoutRecord &r) { r.fileCount = 100; }, LayoutFault::kCounts},
    {"an empty name", [](LayoutRecord &r) { r.names[0] = 0; }, LayoutFault::kNames},
    {"fewer names than files", [](LayoutRecord &r) { r.fileCount = 3; }, LayoutFault::kNames},
    {"a name without its end",
     [](LayoutRecord &r) {
       r.fileCount = 1;
       for (char16_t &c : r.names)
         c = u'x';
     },
     LayoutFault::kNames},
    {"a track's file not in the record", [](LayoutRecord &r) { r.tracks[1].file = 2; },
     LayoutFault::kTrackFile},
    {"a number skipped", [](LayoutRecord &r) { r.tracks[1].number = 3; }, LayoutFault::kNumbers},
    {"track 0", [](LayoutRecord &r) { r.tracks[0].number = 0; }, LayoutFault::kNumbers},
    {"audio with a user-data offset", [](LayoutRecord &r) { r.tracks[1].userOffset = 16; },
     LayoutFault::kSectorKind},
    {"audio in 2,048-byte sectors", [](LayoutRecord &r) { r.tracks[1].stride = 2048; },
     LayoutFault::kSectorKind},
    {"user data past the sector",
     [](LayoutRecord &r) {
       r.tracks[0].stride = kStrideCooked;
       r.tracks[0].userOffset = 8;
     },
     LayoutFault::kSectorKind},
    {"an empty track", [](LayoutRecord &r) { r.tracks[0].sectors = 0; }, LayoutFault::kOrder},
    {"a pregap over the track before", [](LayoutRecord &r) { r.tracks[1].pregap = 151; },
     LayoutFault::kOrder},
    {"a disc past the limit", [](LayoutRecord &r) { r.tracks[1].sectors = kLayoutMaxSectors; },
     LayoutFault::kOrder},
    {"a postgap on a track that is not the last", [](LayoutRecord &r) { r.tracks[0].postgap = 1; },
     LayoutFault::kOrder},
    {"a postgap past the limit",
     [](LayoutRecord &r) {
       r.tracks[1].sectors = kLayoutMaxSectors - 450;
       r.tracks[1].postgap = 1;
     },
     LayoutFault::kOrder},
    {"a stored pregap before the file's start",
     [](LayoutRecord &r) { r.tracks[1].fileOffsetLow = 149 * kStrideRaw; }, LayoutFault::kFileSpan},
    {"an offset past 2^62", [](LayoutRecord &r) { r.tracks[0].fileOffsetHigh = 0x40000001; },
     LayoutFault::kFileSpan},
};

TEST(LayoutRecord, CheckFindsEachFault) {
  for (const RecordRow &row : kRecordRows) {
    SCOPED_TRACE(row.name);
    static LayoutRecord record;
    ASSERT_FALSE(MakeLayoutRecord(TwoTracks(), u'L', &record));
    row.spoil(record);
    EXPECT_EQ(int(CheckLayoutRecord(record)), int(row.fault));
  }
}

TEST(LayoutRecord, MakeRefusesWhatDoesNotFit) {
  static LayoutRecord record;
  DiscLayout many = TwoTracks();
  many.tracks.resize(100, many.tracks[1]);
  EXPECT_EQ(int(MakeLayoutRecord(many, u'L', &record).reason), int(Reason::kTooManyTracks));

  DiscLayout longName = TwoTracks();
  longName.files[1] = u"C:\\" + std::u16string(kMaxDriveImagePathUnits - 2, u'n');
  EXPECT_EQ(int(MakeLayoutRecord(longName, u'L', &record).reason), int(Reason::kNamesTooLong));
  EXPECT_EQ(MakeLayoutRecord(longName, u'L', &record).field, "names");

  // 34 names of 495 units fill more than the pool: each fits, only together they do not.
  DiscLayout pool = TwoTracks();
  pool.files.assign(34, u"C:\\" + std::u16string(kMaxDriveImagePathUnits - 3, u'n'));
  const FormatError together = MakeLayoutRecord(pool, u'L', &record);
  EXPECT_EQ(int(together.reason), int(Reason::kNamesTooLong));
  EXPECT_EQ(together.field, "together");
  pool.files.resize(33);
  EXPECT_FALSE(MakeLayoutRecord(pool, u'L', &record));

  DiscLayout overlap = TwoTracks();
  overlap.tracks[1].firstLba = 299;
  EXPECT_EQ(int(MakeLayoutRecord(overlap, u'L', &record).reason), int(Reason::kTrackOrder));
  EXPECT_EQ(record.signature, 0u) << "a refused record is not left half made";
}

} // namespace
} // namespace velmor::formats
