#include <gtest/gtest.h>

#include "layout_text.h"
#include "memory_files.h"
#include "readers.h"

namespace velmor::formats {
namespace {

using Reason = FormatError::Reason;

const std::u16string kFolder = u"C:\\discs\\";
constexpr uint64_t kRaw = 2352;

struct FileSpec {
  std::u16string name; // under kFolder
  uint64_t bytes;      // zeros: the readers look only at sizes
};

struct ExpectedError {
  Reason reason = Reason::kNone;
  std::string lineWith; // a text that first appears on the line named; "" for none
  std::string field;
  std::u16string file = {};      // under kFolder; "" for the descriptor itself
  std::u16string trackFile = {}; // under kFolder: the file an address lies beyond
};

struct DescriptorRow {
  const char *name;
  std::string text;
  std::vector<FileSpec> files;
  std::vector<std::u16string> layoutFiles; // under kFolder
  std::vector<std::string> tracks;         // TrackText of each
  ExpectedError error = {};
};

// A name under kFolder, or a full path as it stands.
std::u16string Full(const std::u16string &name) {
  return name.size() > 1 && name[1] == u':' ? name : kFolder + name;
}

void Check(const DescriptorRow &row, const std::u16string &descriptor,
           FormatError (*read)(ImageFiles &, const std::u16string &, DiscLayout *)) {
  SCOPED_TRACE(row.name);
  MemoryFiles files;
  files.ansi["\xB9\xE2\xC5\xCC.bin"] = u"\u5149\u76D8.bin"; // 光盘.bin in GBK
  files.contents[kFolder + descriptor] = row.text;
  for (const FileSpec &f : row.files)
    if (f.bytes > (64u << 20))
      files.zeros[Full(f.name)] = f.bytes;
    else
      files.contents[Full(f.name)] = std::string(size_t(f.bytes), '\0');
  DiscLayout layout;
  const FormatError e = read(files, kFolder + descriptor, &layout);
  EXPECT_EQ(int(e.reason), int(row.error.reason)) << e.field;
  if (row.error.reason != Reason::kNone) {
    EXPECT_EQ(e.line, LineOf(row.text, row.error.lineWith));
    EXPECT_EQ(e.field, row.error.field);
    EXPECT_TRUE(e.file == kFolder + (row.error.file.empty() ? descriptor : row.error.file));
    EXPECT_TRUE(e.trackFile == (row.error.trackFile.empty() ? u"" : kFolder + row.error.trackFile));
    return;
  }
  std::vector<std::u16string> expectedFiles;
  for (const std::u16string &f : row.layoutFiles)
    expectedFiles.push_back(Full(f));
  EXPECT_TRUE(layout.files == expectedFiles);
  EXPECT_EQ(TracksText(layout), row.tracks);
  ExpectRecordAccepted(layout);
}

std::string ManyTracks(int count) {
  std::string text = "FILE \"many.bin\" BINARY\n";
  for (int i = 1; i <= count; ++i)
    text += "TRACK " + std::to_string(i) + " AUDIO\nINDEX 01 00:" + std::to_string(i / 75) + ":" +
            std::to_string(i % 75) + "\n";
  return text;
}

// Text saved as UTF-16 little-endian with its byte-order mark, as Notepad's "Unicode".
std::string Utf16Le(const std::u16string &text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += char(c & 0xFF);
    bytes += char(c >> 8);
  }
  return bytes;
}

const DescriptorRow kCueRows[] = {
    {"MODE1/2352, a partial sector at the end ignored",
     "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n",
     {{u"disc.bin", 300 * kRaw + 100}},
     {u"disc.bin"},
     {"#1 ca=14 f0 @0 2352/16 lba 0+300 gap 0"}},
    {"MODE1/2048, unquoted name, CR LF",
     "FILE disc.iso BINARY\r\nTRACK 01 MODE1/2048\r\nINDEX 01 00:00:00\r\n",
     {{u"disc.iso", 40 * 2048}},
     {u"disc.iso"},
     {"#1 ca=14 f0 @0 2048/0 lba 0+40 gap 0"}},
    {"MODE2/2352 is form 1 at 24; MODE2/2336 at 8",
     "FILE a.bin BINARY\nTRACK 01 MODE2/2352\nINDEX 01 00:00:00\n"
     "FILE b.bin BINARY\nTRACK 02 MODE2/2336\nINDEX 01 00:00:00\n",
     {{u"a.bin", 30 * kRaw}, {u"b.bin", 20 * 2336}},
     {u"a.bin", u"b.bin"},
     {"#1 ca=14 f0 @0 2352/24 lba 0+30 gap 0", "#2 ca=14 f1 @0 2336/8 lba 30+20 gap 0"}},
    {"one file: INDEX 00 starts a stored pregap and ends the track before",
     "FILE \"mixed.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n"
     " TRACK 02 AUDIO\n  INDEX 00 00:04:00\n  INDEX 01 00:06:00\n"
     " TRACK 03 AUDIO\n  INDEX 01 00:10:00\n",
     {{u"mixed.bin", 1050 * kRaw}},
     {u"mixed.bin"},
     {"#1 ca=14 f0 @0 2352/16 lba 0+300 gap 0",
      "#2 ca=10 f0 @1058400 2352/0 lba 450+300 gap 150 stored",
      "#3 ca=10 f0 @1764000 2352/0 lba 750+300 gap 0"}},
    {"one file, two strides: offsets count each track's own sector size",
     "FILE a.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
     "TRACK 02 AUDIO\nINDEX 01 00:04:00\nTRACK 03 AUDIO\nINDEX 01 00:08:00\n",
     {{u"a.bin", 300 * 2048 + 600 * kRaw}},
     {u"a.bin"},
     {"#1 ca=14 f0 @0 2048/0 lba 0+300 gap 0", "#2 ca=10 f0 @614400 2352/0 lba 300+300 gap 0",
      "#3 ca=10 f0 @1320000 2352/0 lba 600+300 gap 0"}},
    {"several FILEs, quoted name with spaces, FLAGS, PREGAP, INDEX 00 in the file",
     "FILE \"data.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n"
     "FILE \"audio two.bin\" BINARY\n TRACK 02 AUDIO\n  FLAGS DCP PRE\n  PREGAP 00:02:00\n"
     "  INDEX 01 00:00:00\n"
     "FILE \"audio3.bin\" BINARY\n TRACK 03 AUDIO\n  FLAGS 4CH SCMS\n  INDEX 00 00:00:00\n"
     "  INDEX 01 00:01:00\n",
     {{u"data.bin", 300 * kRaw}, {u"audio two.bin", 400 * kRaw}, {u"audio3.bin", 300 * kRaw + 7}},
     {u"data.bin", u"audio two.bin", u"audio3.bin"},
     {"#1 ca=14 f0 @0 2352/16 lba 0+300 gap 0", "#2 ca=13 f1 @0 2352/0 lba 450+400 gap 150",
      "#3 ca=18 f2 @176400 2352/0 lba 925+225 gap 75 stored"}},
    {"INDEX 00 in the previous file belongs to the track before (gaps appended)",
     "FILE \"01.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"
     " TRACK 02 AUDIO\n  INDEX 00 00:04:00\nFILE \"02.bin\" BINARY\n  INDEX 01 00:00:00\n",
     {{u"01.bin", 400 * kRaw}, {u"02.bin", 300 * kRaw}},
     {u"01.bin", u"02.bin"},
     {"#1 ca=10 f0 @0 2352/0 lba 0+400 gap 0", "#2 ca=10 f1 @0 2352/0 lba 400+300 gap 0"}},
    {"POSTGAP moves the next track on; other indexes and commands ignored, any case",
     "REM GENRE Test\nCATALOG 0000000000000\nTITLE \"t\"\nPERFORMER \"p\"\nSONGWRITER \"s\"\n"
     "CDTEXTFILE \"x.cdt\"\nfile \"sub/d.bin\" binary\n track 01 mode1/2352\n  isrc ABCDE1234567\n"
     "  index 01 00:00:00\n  INDEX 02 00:01:00\n  POSTGAP 00:02:00\n"
     "FILE \"D:\\other\\a.bin\" BINARY\n TRACK 02 AUDIO\n  INDEX 01 00:00:00\n",
     {{u"sub\\d.bin", 100 * kRaw}, {u"D:\\other\\a.bin", 10 * kRaw}},
     {u"sub\\d.bin", u"D:\\other\\a.bin"},
     {"#1 ca=14 f0 @0 2352/16 lba 0+100 gap 0", "#2 ca=10 f1 @0 2352/0 lba 250+10 gap 0"}},
    {"a POSTGAP on the last track ends the disc later",
     "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nPOSTGAP 00:00:10\n"
     "TRACK 02 AUDIO\nINDEX 01 00:01:00\nPOSTGAP 00:01:00\nPOSTGAP 00:01:00\n",
     {{u"a.bin", 100 * kRaw}},
     {u"a.bin"},
     {"#1 ca=14 f0 @0 2352/16 lba 0+75 gap 0",
      "#2 ca=10 f0 @176400 2352/0 lba 85+25 gap 0 post 150"}},
    {"GBK name",
     "FILE \"\xB9\xE2\xC5\xCC.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
     {{u"\u5149\u76D8.bin", 10 * kRaw}},
     {u"\u5149\u76D8.bin"},
     {"#1 ca=10 f0 @0 2352/0 lba 0+10 gap 0"}},
    {"UTF-8 name after a byte-order mark",
     "\xEF\xBB\xBF"
     "FILE \"\xE5\x85\x89\xE7\x9B\x98.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
     {{u"\u5149\u76D8.bin", 10 * kRaw}},
     {u"\u5149\u76D8.bin"},
     {"#1 ca=10 f0 @0 2352/0 lba 0+10 gap 0"}},
    {"relative names normalised as Windows does: . .. / doubled separators, trailing dot, root",
     "FILE \".\\a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
     "FILE \"..\\discs\\b.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n"
     "FILE \"./sub//c.bin\" BINARY\nTRACK 03 AUDIO\nINDEX 01 00:00:00\n"
     "FILE \"sub\\\\.\\d.bin. \" BINARY\nTRACK 04 AUDIO\nINDEX 01 00:00:00\n"
     "FILE \"\\discs\\sub.\\e.bin\" BINARY\nTRACK 05 AUDIO\nINDEX 01 00:00:00\n",
     {{u"a.bin", 10 * kRaw},
      {u"b.bin", 10 * kRaw},
      {u"sub\\c.bin", 10 * kRaw},
      {u"sub\\d.bin", 10 * kRaw},
      {u"sub\\e.bin", 10 * kRaw}},
     {u"a.bin", u"b.bin", u"sub\\c.bin", u"sub\\d.bin", u"sub\\e.bin"},
     {"#1 ca=10 f0 @0 2352/0 lba 0+10 gap 0", "#2 ca=10 f1 @0 2352/0 lba 10+10 gap 0",
      "#3 ca=10 f2 @0 2352/0 lba 20+10 gap 0", "#4 ca=10 f3 @0 2352/0 lba 30+10 gap 0",
      "#5 ca=10 f4 @0 2352/0 lba 40+10 gap 0"}},
    {"a new FILE after a cooked track is cut by its own track's sector size",
     "FILE a.iso BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
     "FILE b.bin BINARY\nTRACK 02 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n"
     "FILE c.bin BINARY\nTRACK 03 MODE2/2336\nINDEX 01 00:00:00\n"
     "FILE d.bin BINARY\nTRACK 04 AUDIO\nINDEX 01 00:01:00\n",
     {{u"a.iso", 40 * 2048}, {u"b.bin", 450 * kRaw}, {u"c.bin", 30 * 2336}, {u"d.bin", 90 * kRaw}},
     {u"a.iso", u"b.bin", u"c.bin", u"d.bin"},
     {"#1 ca=14 f0 @0 2048/0 lba 0+40 gap 0",
      "#2 ca=10 f1 @352800 2352/0 lba 190+300 gap 150 stored",
      "#3 ca=14 f2 @0 2336/8 lba 490+30 gap 0", "#4 ca=10 f3 @176400 2352/0 lba 595+15 gap 0"}},
    {"CR-only line ends",
     "FILE a.bin BINARY\rTRACK 01 AUDIO\r  INDEX 01 00:00:00\r",
     {{u"a.bin", 10 * kRaw}},
     {u"a.bin"},
     {"#1 ca=10 f0 @0 2352/0 lba 0+10 gap 0"}},
    {"UTF-16 with a byte-order mark, a Chinese name",
     Utf16Le(u"FILE \"\u5149\u76D8.bin\" BINARY\r\nTRACK 01 AUDIO\r\nINDEX 01 00:00:00\r\n"),
     {{u"\u5149\u76D8.bin", 10 * kRaw}},
     {u"\u5149\u76D8.bin"},
     {"#1 ca=10 f0 @0 2352/0 lba 0+10 gap 0"}},
    // Refused, naming the line and the word.
    {"missing file",
     "FILE \"gone.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
     {},
     {},
     {},
     {Reason::kMissingFile, "gone", "gone.bin", u"gone.bin"}},
    {"WAVE files",
     "FILE \"a.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
     {{u"a.wav", 10 * kRaw}},
     {},
     {},
     {Reason::kUnsupportedMode, "FILE", "WAVE"}},
    {"byte-swapped audio",
     "FILE a.bin MOTOROLA\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
     {{u"a.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kUnsupportedMode, "FILE", "MOTOROLA"}},
    {"CD+G tracks",
     "FILE a.bin BINARY\nTRACK 01 CDG\nINDEX 01 00:00:00\n",
     {{u"a.bin", 10 * 2448}},
     {},
     {},
     {Reason::kUnsupportedMode, "CDG", "CDG"}},
    {"a track starting where the one before starts",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:01:00\nTRACK 02 AUDIO\nINDEX 01 00:01:0\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kTrackOrder, "00:01:0\n", "00:01:0"}},
    {"index times going back",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:02:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kTrackOrder, "00:01:00", "00:01:00"}},
    {"misnumbered",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kTrackOrder, "TRACK 03", "03"}},
    {"INDEX 01 before INDEX 00",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nINDEX 00 00:01:00\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kTrackOrder, "INDEX 00", "00"}},
    {"a TRACK with no INDEX 01",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nTRACK 02 AUDIO\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kTruncated, "TRACK 01", "01"}},
    {"the last TRACK with no INDEX 01",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kTruncated, "TRACK 02", "02"}},
    {"the file ends before the track starts",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:04:00\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kPastFileEnd, "00:04:00", "00:04:00", {}, u"a.bin"}},
    {"a file shorter than one sector",
     "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n",
     {{u"a.bin", 2000}},
     {},
     {},
     {Reason::kPastFileEnd, "INDEX", "00:00:00", {}, u"a.bin"}},
    {"an INDEX 00 past the end of its file",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 00 59:00:00\nINDEX 01 59:02:00\n",
     {{u"a.bin", 300 * kRaw}},
     {},
     {},
     {Reason::kPastFileEnd, "59:00:00", "59:00:00", {}, u"a.bin"}},
    {"seconds past 59",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:60:00\n",
     {{u"a.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kSyntax, "INDEX", "00:60:00"}},
    {"frames past 74",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nPREGAP 00:00:75\nINDEX 01 00:00:00\n",
     {{u"a.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kSyntax, "PREGAP", "00:00:75"}},
    {"unknown command",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nGAPS 3\n",
     {{u"a.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kSyntax, "GAPS", "GAPS"}},
    {"TRACK before any FILE",
     "TRACK 01 AUDIO\nFILE a.bin BINARY\nINDEX 01 00:00:00\n",
     {{u"a.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kSyntax, "TRACK", "TRACK"}},
    {"more than 99 tracks",
     ManyTracks(100),
     {{u"many.bin", 200 * kRaw}},
     {},
     {},
     {Reason::kTooManyTracks, "TRACK 100", "100"}},
    {"a POSTGAP on the last track longer than a drive keeps (65,536 sectors)",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nPOSTGAP 14:33:61\n",
     {{u"a.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kPostgapTooLong, "POSTGAP", "14:33:61"}},
    // A CD's table of contents ends at 99:59:74: a layout with audio, raw sectors or gaps whose
    // lead-out passes it is refused, naming the sheet; one 2,048-byte data track need not fit.
    {"a PREGAP that takes the lead-out past 99:59:74",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nPREGAP 99:59:74\nINDEX 01 00:00:00\n",
     {{u"a.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kLongerThanCd, "", ""}},
    {"a lead-out at 99:59:74 itself",
     "FILE a.bin BINARY\nTRACK 01 AUDIO\nPREGAP 99:57:64\nINDEX 01 00:00:00\n",
     {{u"a.bin", 10 * kRaw}},
     {u"a.bin"},
     {"#1 ca=10 f0 @0 2352/0 lba 449839+10 gap 449839"}},
    {"raw data sectors past 99:59:74",
     "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n",
     {{u"a.bin", 449850ull * kRaw}},
     {},
     {},
     {Reason::kLongerThanCd, "", ""}},
    {"a DVD's image with an audio track after it",
     "FILE a.iso BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
     "FILE b.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n",
     {{u"a.iso", 2295104ull * 2048}, {u"b.bin", 10 * kRaw}},
     {},
     {},
     {Reason::kLongerThanCd, "", ""}},
    {"a DVD's image under a sheet",
     "FILE a.iso BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n",
     {{u"a.iso", 2295104ull * 2048}},
     {u"a.iso"},
     {"#1 ca=14 f0 @0 2048/0 lba 0+2295104 gap 0"}},
};

TEST(CueSheet, Table) {
  for (const DescriptorRow &row : kCueRows)
    Check(row, u"disc.cue", ReadCueSheet);
}

// Two tracks from the table of contents: data from 0 (mode 1), audio from 600 with its
// INDEX 0 at 450; the lead-out at MSF 00:14:00, block 900.
const std::string kCcd = R"([CloneCD]
Version=3
[Disc]
TocEntries=4
Sessions=1
DataTracksScrambled=0
CDTextLength=0
[Session 1]
PreGapMode=1
[Entry 0]
Session=1
Point=0xa0
ADR=0x01
Control=0x04
PMin=1
[Entry 1]
Session=1
Point=0xa2
ADR=0x01
Control=0x00
PMin=0
PSec=14
PFrame=0
[Entry 2]
Session=1
Point=0x01
ADR=0x01
Control=0x04
PLBA=0
[Entry 3]
Session=1
Point=0x02
ADR=0x01
Control=0x02
PMin=0
PSec=10
PFrame=0
PLBA=600
[TRACK 1]
MODE=1
INDEX 1=0
[TRACK 2]
MODE=0
INDEX 0=450
INDEX 1=600
)";

std::string Edit(std::string text, const std::string &from, const std::string &to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

const DescriptorRow kCcdRows[] = {
    {"data and audio, pregap from INDEX 0, the lead-out from MSF, the SUB not needed",
     kCcd,
     {{u"disc.img", 900 * kRaw}},
     {u"disc.img"},
     {"#1 ca=14 f0 @0 2352/16 lba 0+450 gap 0",
      "#2 ca=12 f0 @1411200 2352/0 lba 600+300 gap 150 stored"}},
    {"mode 2 is form 1 at 24",
     Edit(kCcd, "MODE=1", "MODE=2"),
     {{u"disc.img", 900 * kRaw}},
     {u"disc.img"},
     {"#1 ca=14 f0 @0 2352/24 lba 0+450 gap 0",
      "#2 ca=12 f0 @1411200 2352/0 lba 600+300 gap 150 stored"}},
    {"the IMG missing", kCcd, {}, {}, {}, {Reason::kMissingFile, "", "", u"disc.img"}},
    {"the IMG shorter than the lead-out",
     kCcd,
     {{u"disc.img", 899 * kRaw}},
     {},
     {},
     {Reason::kTruncated, "PMin=0\nPSec=14", "[Entry 1] PMin", u"disc.img"}},
    {"several sessions",
     Edit(kCcd, "Sessions=1", "Sessions=2"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kUnsupportedMode, "Sessions", "[Disc] Sessions"}},
    {"scrambled data",
     Edit(kCcd, "DataTracksScrambled=0", "DataTracksScrambled=1"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kUnsupportedMode, "DataTracksScrambled", "[Disc] DataTracksScrambled"}},
    {"an unknown mode",
     Edit(kCcd, "MODE=1", "MODE=3"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kUnsupportedMode, "MODE=3", "[TRACK 1] MODE"}},
    {"control says data, mode says audio",
     Edit(kCcd, "Control=0x02", "Control=0x04"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kSyntax, "Control=0x04\nPMin=0\nPSec=10", "[Entry 3] Control"}},
    {"tracks misnumbered",
     Edit(kCcd, "Point=0x02", "Point=0x03"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kTrackOrder, "Point=0x03", "[Entry 3] Point"}},
    {"a track starting before the one before",
     Edit(kCcd, "PLBA=600", "PLBA=0"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kTrackOrder, "INDEX 0=450", "[TRACK 2] INDEX 0"}},
    {"an address that is no number",
     Edit(kCcd, "PLBA=0", "PLBA=zero"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kSyntax, "PLBA=zero", "[Entry 2] PLBA"}},
    {"no lead-out",
     Edit(kCcd, "Point=0xa2", "Point=0xb0"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kTruncated, "", "[Entry] Point=0xa2"}},
    {"a line that is neither section nor key",
     Edit(kCcd, "CDTextLength=0", "CDTextLength"),
     {{u"disc.img", 900 * kRaw}},
     {},
     {},
     {Reason::kSyntax, "CDTextLength", "CDTextLength"}},
};

TEST(CloneCd, Table) {
  for (const DescriptorRow &row : kCcdRows)
    Check(row, u"disc.ccd", ReadCloneCdControl);
}

} // namespace
} // namespace velmor::formats
