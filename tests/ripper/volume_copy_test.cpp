#include "ripper/DiscCopy.h"
#include "ripper/VolumeCopy.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "layout_text.h"
#include "memory_files.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace velmor {
namespace {

constexpr std::uint64_t MiB = 1048576;
constexpr std::uint64_t kSector = kRipSectorSize;
using Bytes = std::vector<std::uint8_t>;

// A disc of `size` bytes whose reads fail where told to.
class FakeDisc : public VolumeSource {
public:
  explicit FakeDisc(std::uint64_t size) : bytes(size) {
    for (std::uint64_t i = 0; i < size; ++i)
      bytes[i] = static_cast<std::uint8_t>(i * 7 + i / kSector);
  }
  bool Read(std::uint64_t offset, void *buffer, std::uint32_t size, std::uint32_t &got) override {
    for (std::uint64_t s = offset / kSector; s * kSector < offset + size; ++s)
      if (badSectors.count(s))
        return false;
    if (failPastEnd && offset + size > bytes.size())
      return false;
    std::uint64_t n =
        offset < bytes.size() ? std::min<std::uint64_t>(size, bytes.size() - offset) : 0;
    if (offset == shortReadAt)
      n = std::min<std::uint64_t>(n, 100000);
    std::memcpy(buffer, bytes.data() + std::min<std::uint64_t>(offset, bytes.size()), n);
    got = static_cast<std::uint32_t>(n);
    return true;
  }
  Bytes bytes;
  std::set<std::uint64_t> badSectors;
  bool failPastEnd = false; // as a device does for reads that run past its last sector
  std::uint64_t shortReadAt = UINT64_MAX;
};

class FakeImage : public ImageTarget {
public:
  std::uint32_t Write(const void *data, std::uint32_t size) override {
    const std::uint64_t room = capacity - std::min<std::uint64_t>(capacity, bytes.size());
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, room));
    bytes.insert(bytes.end(), static_cast<const std::uint8_t *>(data),
                 static_cast<const std::uint8_t *>(data) + n);
    return n;
  }
  void Discard() override { discarded = true; }
  Bytes bytes;
  std::uint64_t capacity = UINT64_MAX;
  bool discarded = false;
};

struct Case {
  const char *name;
  std::uint64_t discSize, volumeSize;
  std::set<std::uint64_t> badSectors;
  bool ignoreBadSectors;
  bool failPastEnd;
  std::uint64_t shortReadAt, writeCapacity;
  int abortAtCall; // 1-based progress call that asks to abort, 0 for none
  RipEnd end;
  std::uint64_t failedOffset, imageSize;
  std::vector<std::uint64_t> progress; // checked when given
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const std::uint64_t kOdd = 5 * MiB + 3 * kSector; // ends in a short block
const std::uint64_t k3 = 3 * MiB + 3 * kSector;   // ends inside a chunk
const std::uint64_t kNone = UINT64_MAX;

const Case kCases[] = {
    {"ExactMultipleOfTheBlock",
     4 * MiB,
     4 * MiB,
     {},
     false,
     false,
     kNone,
     kNone,
     0,
     RipEnd::Finished,
     0,
     4 * MiB,
     {2 * MiB, 4 * MiB, 4 * MiB}},
    {"FinalShortBlock",
     kOdd,
     kOdd,
     {},
     false,
     false,
     kNone,
     kNone,
     0,
     RipEnd::Finished,
     0,
     kOdd,
     {2 * MiB, 4 * MiB, kOdd, kOdd}},
    {"ShortReadIsNoEnd",
     kOdd,
     kOdd,
     {},
     false,
     false,
     2 * MiB,
     kNone,
     0,
     RipEnd::Finished,
     0,
     kOdd,
     {}},
    {"ReadFailsMidDisc",
     kOdd,
     kOdd,
     {1034},
     false,
     false,
     kNone,
     kNone,
     0,
     RipEnd::ReadFailed,
     2 * MiB,
     0,
     {}},
    {"BadSectorsBecomeZeros",
     kOdd,
     kOdd,
     {1034, 1040, 2562},
     true,
     false,
     kNone,
     kNone,
     0,
     RipEnd::Finished,
     0,
     kOdd,
     {}},
    {"ReadsStopAtTheVolumeEnd",
     k3,
     k3,
     {},
     false,
     true,
     kNone,
     kNone,
     0,
     RipEnd::Finished,
     0,
     k3,
     {2 * MiB, k3, k3}},
    {"FailurePastTheVolumeSizeEnds",
     5 * MiB,
     3 * MiB,
     {},
     false,
     true,
     kNone,
     kNone,
     0,
     RipEnd::Finished,
     0,
     5 * MiB,
     {}},
    {"WriteFails",
     kOdd,
     kOdd,
     {},
     false,
     false,
     kNone,
     3 * MiB,
     0,
     RipEnd::WriteFailed,
     3 * MiB,
     0,
     {}},
    // The fourth call follows the read that found the end of the disc.
    {"AbortOnTheLastBlockWins",
     kOdd,
     kOdd,
     {},
     false,
     false,
     kNone,
     kNone,
     4,
     RipEnd::Aborted,
     0,
     0,
     {}},
};

class CopyVolumeTest : public ::testing::TestWithParam<Case> {};

TEST_P(CopyVolumeTest, Ends) {
  const Case &c = GetParam();
  FakeDisc disc(c.discSize);
  disc.badSectors = c.badSectors;
  disc.failPastEnd = c.failPastEnd;
  disc.shortReadAt = c.shortReadAt;
  FakeImage image;
  image.capacity = c.writeCapacity;
  std::vector<std::uint64_t> progress;
  RipOptions options;
  options.volumeSize = c.volumeSize;
  options.ignoreBadSectors = c.ignoreBadSectors;

  const RipResult result = CopyVolume(disc, image, options, [&](std::uint64_t copied) {
    progress.push_back(copied);
    return static_cast<int>(progress.size()) == c.abortAtCall;
  });

  EXPECT_EQ(result.end, c.end);
  EXPECT_EQ(image.discarded, c.end != RipEnd::Finished);
  EXPECT_EQ(result.copied, image.bytes.size());
  if (c.end == RipEnd::ReadFailed || c.end == RipEnd::WriteFailed) {
    EXPECT_EQ(result.failedOffset, c.failedOffset);
  }
  if (!c.progress.empty()) {
    EXPECT_EQ(progress, c.progress);
  }
  if (c.end != RipEnd::Finished)
    return;
  Bytes expected(disc.bytes.begin(), disc.bytes.begin() + c.imageSize);
  for (std::uint64_t s : c.badSectors)
    std::fill_n(expected.begin() + s * kSector, kSector, 0);
  EXPECT_EQ(result.zeroedSectors, c.ignoreBadSectors ? c.badSectors.size() : 0u);
  EXPECT_TRUE(image.bytes == expected) << "image differs";
}

INSTANTIATE_TEST_SUITE_P(Rip, CopyVolumeTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- The raw road: a table of contents into BIN/CUE ------------------------------------------

// IOCTL_CDROM_READ_TOC's answer for the tracks and the lead-out, addresses as MSF.
Bytes TocBytes(const std::vector<TocTrack> &tracks, std::uint32_t leadOut) {
  Bytes toc(4);
  const auto record = [&toc](std::uint8_t control, std::uint8_t number, std::uint32_t lba) {
    const std::uint32_t f = lba + 150;
    const std::uint8_t r[8] = {0,
                               std::uint8_t(0x10 | control),
                               number,
                               0,
                               0,
                               std::uint8_t(f / 4500),
                               std::uint8_t(f / 75 % 60),
                               std::uint8_t(f % 75)};
    toc.insert(toc.end(), r, r + 8);
  };
  for (const TocTrack &t : tracks)
    record(t.control, t.number, t.start);
  record(tracks.back().control, 0xAA, leadOut);
  toc[0] = std::uint8_t((toc.size() - 2) >> 8);
  toc[1] = std::uint8_t(toc.size() - 2);
  toc[2] = tracks.front().number;
  toc[3] = tracks.back().number;
  return toc;
}

struct CueCase {
  const char *name;
  std::vector<TocTrack> tracks;
  std::uint32_t leadOut;
  std::vector<TrackForm> forms;
  std::vector<std::string> layout; // what the drive's reader makes of the sheet and files
  std::string cue = {};            // the whole sheet, where given
  std::vector<std::uint32_t> pregaps = {};
};

const TrackForm kA = TrackForm::kAudio, kM1 = TrackForm::kMode1, kM2 = TrackForm::kMode2;

const CueCase kCueCases[] = {
    {"audio, with the flags of the control nibble",
     {{1, 0x00, 0}, {2, 0x03, 300}, {3, 0x08, 600}},
     900,
     {kA, kA, kA},
     {"#1 ca=10 f0 @0 2352/0 lba 0+300 gap 0", "#2 ca=13 f1 @0 2352/0 lba 300+300 gap 0",
      "#3 ca=18 f2 @0 2352/0 lba 600+300 gap 0"},
     "FILE \"disc (Track 01).bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
     "FILE \"disc (Track 02).bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    FLAGS DCP PRE\r\n"
     "    INDEX 01 00:00:00\r\n"
     "FILE \"disc (Track 03).bin\" BINARY\r\n  TRACK 03 AUDIO\r\n    FLAGS 4CH\r\n"
     "    INDEX 01 00:00:00\r\n"},
    {"a first track after block 0 keeps its gap as INDEX 00",
     {{1, 0x00, 150}},
     450,
     {kA},
     {"#1 ca=10 f0 @352800 2352/0 lba 150+300 gap 150 stored"},
     "FILE \"disc.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 00 00:00:00\r\n"
     "    INDEX 01 00:02:00\r\n"},
    {"mixed mode: data, then audio after the gap",
     {{1, 0x04, 0}, {2, 0x00, 1150}},
     1450,
     {kM1, kA},
     {"#1 ca=14 f0 @0 2352/16 lba 0+1150 gap 0", "#2 ca=10 f1 @0 2352/0 lba 1150+300 gap 0"}},
    {"mixed mode with the audio track's pregap read as its own",
     {{1, 0x04, 0}, {2, 0x00, 1150}},
     1450,
     {kM1, kA},
     {"#1 ca=14 f0 @0 2352/16 lba 0+1000 gap 0",
      "#2 ca=10 f1 @352800 2352/0 lba 1150+300 gap 150 stored"},
     "FILE \"disc (Track 01).bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
     "FILE \"disc (Track 02).bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 00 00:00:00\r\n"
     "    INDEX 01 00:02:00\r\n",
     {0, 150}},
    {"a Video CD: five mode 2 tracks",
     {{1, 0x04, 0}, {2, 0x04, 300}, {3, 0x04, 600}, {4, 0x04, 900}, {5, 0x04, 1200}},
     1500,
     {kM2, kM2, kM2, kM2, kM2},
     {"#1 ca=14 f0 @0 2352/24 lba 0+300 gap 0", "#2 ca=14 f1 @0 2352/24 lba 300+300 gap 0",
      "#3 ca=14 f2 @0 2352/24 lba 600+300 gap 0", "#4 ca=14 f3 @0 2352/24 lba 900+300 gap 0",
      "#5 ca=14 f4 @0 2352/24 lba 1200+300 gap 0"}},
    {"numbers from 3, a data track read cooked",
     {{3, 0x04, 0}, {4, 0x02, 500}},
     800,
     {TrackForm::kCooked, kA},
     {"#3 ca=14 f0 @0 2048/0 lba 0+500 gap 0", "#4 ca=12 f1 @0 2352/0 lba 500+300 gap 0"}},
};

TEST(DiscPlan, CueSheetGivesTheTableOfContentsBack) {
  for (const CueCase &c : kCueCases) {
    SCOPED_TRACE(c.name);
    const Bytes answer = TocBytes(c.tracks, c.leadOut);
    DiscToc toc;
    ASSERT_TRUE(ParseToc(answer.data(), answer.size(), &toc));
    ASSERT_EQ(toc.tracks.size(), c.tracks.size());
    EXPECT_EQ(toc.leadOut, c.leadOut);
    EXPECT_EQ(toc.tracks.back().control, c.tracks.back().control);
    const std::vector<PlannedTrack> plan = PlanTracks(toc, c.forms, "disc", c.pregaps);
    const std::string cue = CueSheetText(plan);
    if (!c.cue.empty()) {
      EXPECT_EQ(cue, c.cue);
    }
    formats::MemoryFiles files;
    files.contents[u"C:\\rip\\disc.cue"] = cue;
    for (const PlannedTrack &t : plan)
      files.contents[u"C:\\rip\\" + std::u16string(t.file.begin(), t.file.end())] =
          std::string(std::size_t(t.sectors) * t.SectorBytes(), '\0');
    const formats::DetectedImage image = formats::DetectImage(files, u"C:\\rip\\disc.cue");
    EXPECT_FALSE(image.error) << image.error.field;
    EXPECT_EQ(formats::TracksText(image.layout), c.layout);
  }
  const Bytes cut = TocBytes(kCueCases[0].tracks, 900);
  DiscToc toc;
  EXPECT_FALSE(ParseToc(cut.data(), cut.size() - 8, &toc)) << "no lead-out";
}

TEST(DiscPlan, OnlyOneModeOneTrackIsAnIso) {
  DiscToc toc;
  toc.tracks = {{1, 0x04, 0}};
  EXPECT_TRUE(IsPlainDataDisc(toc, kM1));
  EXPECT_TRUE(IsPlainDataDisc(toc, TrackForm::kCooked));
  EXPECT_FALSE(IsPlainDataDisc(toc, kM2));
  toc.tracks[0].control = 0;
  EXPECT_FALSE(IsPlainDataDisc(toc, kA));
  toc.tracks = {{1, 0x04, 0}, {2, 0x00, 300}};
  EXPECT_FALSE(IsPlainDataDisc(toc, kM1));

  Bytes descriptor(2048);
  std::memcpy(descriptor.data(),
              "\x01"
              "CD001",
              6);
  descriptor[80] = 0x10; // 0x00030010 blocks, both orders in the field
  descriptor[82] = 0x03;
  descriptor[128] = 0x00; // 2,048 bytes a block
  descriptor[129] = 0x08;
  EXPECT_EQ(Iso9660VolumeBytes(descriptor.data()), 0x30010ull * 2048);
  descriptor[0] = 2;
  EXPECT_EQ(Iso9660VolumeBytes(descriptor.data()), 0u) << "a supplementary descriptor";
}

TEST(Checksums, KnownValues) {
  Crc32 crc;
  crc.Add("123456789", 9);
  EXPECT_EQ(crc.Hex(), "cbf43926");
  Sha1 abc;
  abc.Add("abc", 3);
  EXPECT_EQ(abc.Hex(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // 56 bytes, fed unevenly: the padding takes a block of its own.
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  Sha1 sha;
  sha.Add(two.data(), 5);
  sha.Add(two.data() + 5, two.size() - 5);
  EXPECT_EQ(sha.Hex(), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  // A file's CRC put together from its runs' own CRCs, runs of two sizes.
  Crc32 joined;
  joined.Append(Crc32::Of("1234", 4), 4);
  joined.Append(Crc32::Of("5678", 4), 4);
  joined.Append(Crc32::Of("9", 1), 1);
  EXPECT_EQ(joined.Hex(), "cbf43926");
}

// The sums run beside the writes: whatever the pieces written and wherever a hand-over to the
// workers splits a sector, they are those of the bytes written.
TEST(Checksums, SummingTargetSumsWhatWasWritten) {
  constexpr std::uint32_t kRaw = 2352;
  Bytes bytes(3 * MiB + 5 * kRaw + 100); // the last sector cut short
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = std::uint8_t(i * 13 + i / 4093);
  std::string sha1;
  {
    Sha1 sha;
    sha.Add(bytes.data(), bytes.size());
    sha1 = sha.Hex();
  }
  const std::string crc = [&] {
    Crc32 c;
    c.Add(bytes.data(), bytes.size());
    return c.Hex();
  }();
  for (const bool sectors : {true, false}) {
    SCOPED_TRACE(sectors ? "with the sectors' sums" : "without them");
    FakeImage image;
    std::vector<std::uint32_t> sums = {7}; // what was there before is kept
    {
      SummingTarget target(image, kRaw, sectors ? &sums : nullptr);
      for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 3 + 1)
        target.Write(bytes.data() + at,
                     std::uint32_t(std::min<std::size_t>(piece, bytes.size() - at)));
      const FileSum sum = target.Finish("x.bin");
      EXPECT_EQ(sum.sha1, sha1);
      EXPECT_EQ(sum.crc32, crc);
    }
    EXPECT_TRUE(image.bytes == bytes);
    if (!sectors) {
      EXPECT_EQ(sums, std::vector<std::uint32_t>{7});
      continue;
    }
    ASSERT_EQ(sums.size(), 1 + (bytes.size() + kRaw - 1) / kRaw) << "the short last one counts";
    EXPECT_EQ(sums[1], Crc32::Of(bytes.data(), kRaw));
    EXPECT_EQ(sums[1 + 1000], Crc32::Of(bytes.data() + 1000 * kRaw, kRaw));
    const std::size_t last = (sums.size() - 2) * kRaw;
    EXPECT_EQ(sums.back(), Crc32::Of(bytes.data() + last, bytes.size() - last));
  }
  // A short write: only what reached the file is summed; given up, nothing waits.
  FakeImage full;
  full.capacity = 1000;
  std::vector<std::uint32_t> sums;
  SummingTarget target(full, kRaw, &sums);
  EXPECT_EQ(target.Write(bytes.data(), 5000), 1000u);
  const FileSum sum = target.Finish("x.bin");
  EXPECT_EQ(sum.crc32, [&] {
    Crc32 c;
    c.Add(bytes.data(), 1000);
    return c.Hex();
  }());
  SummingTarget abandoned(full, kRaw, &sums);
  abandoned.Write(bytes.data(), 100);
}

// Raw sectors whose bytes tell their block; reads fail where told to.
class FakeRawDisc : public DiscSource {
public:
  bool ReadSectors(std::uint32_t lba, std::uint32_t count, TrackForm form,
                   std::uint8_t *buffer) override {
    ++reads;
    const std::uint32_t size = form == TrackForm::kCooked ? 2048 : 2352;
    for (std::uint32_t i = 0; i < count; ++i)
      if (bad.count(lba + i) ||
          (audioFrom > 0 && (lba + i >= audioFrom) != (form == TrackForm::kAudio)))
        return false;
    for (std::uint32_t i = 0; i < count; ++i)
      for (std::uint32_t b = 0; b < size; ++b)
        buffer[i * size + b] = std::uint8_t((lba + i) * 31 + b + changed.count(lba + i));
    return true;
  }
  std::set<std::uint32_t> bad, changed;
  std::uint32_t audioFrom = 0; // when set, blocks below read only as data, the rest as audio
  int reads = 0;
};

struct TrackFilesInMemory {
  std::map<std::string, FakeImage *> made;
  std::vector<std::unique_ptr<FakeImage>> kept;
  TrackFileOpener Opener() {
    return [this](const std::string &name) -> std::unique_ptr<ImageTarget> {
      auto image = std::make_unique<FakeImage>();
      made[name] = image.get();
      struct Forward : ImageTarget {
        FakeImage &to;
        explicit Forward(FakeImage &t) : to(t) {}
        std::uint32_t Write(const void *d, std::uint32_t n) override { return to.Write(d, n); }
        void Discard() override { to.Discard(); }
      };
      auto forward = std::make_unique<Forward>(*image);
      kept.push_back(std::move(image));
      return forward;
    };
  }
};

std::vector<PlannedTrack> MixedPlan() {
  DiscToc toc;
  toc.tracks = {{1, 0x04, 0}, {2, 0x00, 40}};
  toc.leadOut = 100;
  return PlanTracks(toc, {kM1, kA}, "disc");
}

TEST(CopyDisc, BadSectorsKeepAHeaderAndTheSumsAreTheFiles) {
  FakeRawDisc disc;
  disc.bad = {5, 50};
  TrackFilesInMemory files;
  std::vector<std::uint8_t> tracksSeen;
  const DiscRipResult r = CopyDisc(disc, MixedPlan(), files.Opener(), true, true,
                                   [&](std::uint64_t, std::uint8_t track) {
                                     tracksSeen.push_back(track);
                                     return false;
                                   });
  ASSERT_EQ(r.end, RipEnd::Finished);
  EXPECT_EQ(r.zeroedSectors, 2u);
  EXPECT_EQ(tracksSeen.front(), 1);
  EXPECT_EQ(tracksSeen.back(), 2);
  const Bytes &data = files.made["disc (Track 01).bin"]->bytes;
  const Bytes &audio = files.made["disc (Track 02).bin"]->bytes;
  ASSERT_EQ(data.size(), 40u * 2352);
  ASSERT_EQ(audio.size(), 60u * 2352);
  const std::uint8_t header[16] = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0,    0x00, 0x02, 0x05, 1};
  EXPECT_TRUE(std::equal(header, header + 16, data.begin() + 5 * 2352));
  EXPECT_TRUE(std::all_of(data.begin() + 5 * 2352 + 16, data.begin() + 6 * 2352,
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(audio.begin() + 10 * 2352, audio.begin() + 11 * 2352,
                          [](std::uint8_t b) { return b == 0; }));
  ASSERT_EQ(r.sums.size(), 2u);
  Sha1 sha;
  sha.Add(audio.data(), audio.size());
  Crc32 crc;
  crc.Add(audio.data(), audio.size());
  EXPECT_EQ(r.sums[1].sha1, sha.Hex());
  EXPECT_EQ(r.sums[1].crc32, crc.Hex());
  EXPECT_EQ(r.sectorSums.size(), 100u);
  TrackFilesInMemory again;
  const DiscRipResult plain = CopyDisc(disc, MixedPlan(), again.Opener(), true, false, {});
  EXPECT_TRUE(plain.sectorSums.empty()) << "no sector's sum without the verify pass";
  EXPECT_EQ(plain.sums[1].crc32, r.sums[1].crc32);
  EXPECT_EQ(Sha1ListText(r.sums), r.sums[0].sha1 + "  disc (Track 01).bin\n" + r.sums[1].sha1 +
                                      "  disc (Track 02).bin\n");
}

TEST(CopyDisc, PregapsAreFoundWhereTheKindChanges) {
  FakeRawDisc disc;
  disc.audioFrom = 30; // the audio track's INDEX 01 is at 40
  DiscToc toc;
  toc.tracks = {{1, 0x04, 5}, {2, 0x00, 40}, {3, 0x00, 70}};
  toc.leadOut = 100;
  EXPECT_EQ(FindPregaps(disc, toc, {kM1, kA, kA}), (std::vector<std::uint32_t>{5, 10, 0}));
  disc.audioFrom = 6; // never into the track before
  EXPECT_EQ(FindPregaps(disc, toc, {kM1, kA, kA}), (std::vector<std::uint32_t>{5, 34, 0}));
}

TEST(CopyDisc, EveryOtherEndDiscardsEveryFile) {
  FakeRawDisc disc;
  disc.bad = {70};
  TrackFilesInMemory failed;
  const DiscRipResult r = CopyDisc(disc, MixedPlan(), failed.Opener(), false, true, {});
  EXPECT_EQ(r.end, RipEnd::ReadFailed);
  EXPECT_EQ(r.failedLba, 67u) << "the run of 27 sectors that holds block 70";
  EXPECT_EQ(r.failedFile, "disc (Track 02).bin");
  EXPECT_TRUE(failed.made["disc (Track 01).bin"]->discarded);
  EXPECT_TRUE(failed.made["disc (Track 02).bin"]->discarded);

  TrackFilesInMemory aborted;
  disc.bad.clear();
  const DiscRipResult a = CopyDisc(disc, MixedPlan(), aborted.Opener(), false, true,
                                   [](std::uint64_t done, std::uint8_t) { return done > 50000; });
  EXPECT_EQ(a.end, RipEnd::Aborted);
  EXPECT_TRUE(aborted.made["disc (Track 01).bin"]->discarded);
}

TEST(CopyDisc, VerifyFindsTheSectorsThatChanged) {
  FakeRawDisc disc;
  TrackFilesInMemory files;
  const DiscRipResult r = CopyDisc(disc, MixedPlan(), files.Opener(), false, true, {});
  ASSERT_EQ(r.end, RipEnd::Finished);
  VerifyResult same = VerifyDisc(disc, MixedPlan(), r.sectorSums, {});
  EXPECT_EQ(same.end, RipEnd::Finished);
  EXPECT_EQ(same.differing, 0u);

  disc.changed = {41, 90};
  disc.bad = {95};
  const VerifyResult changed = VerifyDisc(disc, MixedPlan(), r.sectorSums, {});
  EXPECT_EQ(changed.differing, 3u);
  EXPECT_EQ(changed.firstDiffering, 41u);

  const VerifyResult aborted =
      VerifyDisc(disc, MixedPlan(), r.sectorSums, [](std::uint64_t, std::uint8_t) { return true; });
  EXPECT_EQ(aborted.end, RipEnd::Aborted);
}

} // namespace
} // namespace velmor
