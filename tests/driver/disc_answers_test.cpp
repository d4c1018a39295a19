// The answers about the disc, straight from the pure fills: the sizes of plain images around the
// fixed table and the CD/DVD boundary, a layout disc with audio in every table-of-contents
// format, the parse of a stored table of contents, and answers cut short by their buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "disc_answers.h"
#include "layout_records.h"

namespace velmor::test {
namespace {

constexpr uint8_t kUnwritten = 0xCD;

// Runs a fill into a buffer of `length` bytes followed by guard bytes; fails the test when the
// fill wrote past `length`. Returns the `length` bytes.
std::vector<uint8_t> Filled(uint32_t length, const std::function<void(uint8_t *)> &fill) {
  std::vector<uint8_t> buffer(length + 64, kUnwritten);
  fill(buffer.data());
  for (size_t i = length; i < buffer.size(); ++i)
    if (buffer[i] != kUnwritten) {
      ADD_FAILURE() << "byte " << i << " written past a buffer of " << length;
      break;
    }
  buffer.resize(length);
  return buffer;
}

uint32_t Little32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
uint64_t Little64(const std::vector<uint8_t> &b, size_t at) {
  return Little32(b, at) | uint64_t(Little32(b, at + 4)) << 32;
}
uint32_t Big32(const std::vector<uint8_t> &b, size_t at) {
  return uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}
uint32_t Big16(const std::vector<uint8_t> &b, size_t at) { return b[at] << 8 | b[at + 1]; }

struct TocExRequest {
  uint8_t format;
  bool msf;
  uint8_t sessionTrack;
};
DiscAnswer TocEx(const DiscView &view, TocExRequest r, uint32_t length, std::vector<uint8_t> *out) {
  DiscAnswer answer{};
  *out = Filled(length, [&](uint8_t *buffer) {
    const uint8_t input[4] = {uint8_t(r.format | (r.msf ? 0x80 : 0)), r.sessionTrack, 0, 0};
    answer = VelmorAnswerTocEx(view, input, sizeof(input), buffer, length);
  });
  return answer;
}

struct ConfigRequest {
  uint32_t feature;
  uint32_t type;
};
DiscAnswer Configuration(const DiscView &view, ConfigRequest r, uint32_t length,
                         std::vector<uint8_t> *out, uint32_t inputLength = 16) {
  DiscAnswer answer{};
  *out = Filled(length, [&](uint8_t *buffer) {
    uint8_t input[24] = {uint8_t(r.feature), uint8_t(r.feature >> 8), uint8_t(r.feature >> 16),
                         uint8_t(r.feature >> 24), uint8_t(r.type)};
    answer = VelmorAnswerConfiguration(view, input, inputLength, buffer, length);
  });
  return answer;
}

// The feature codes of a configuration answer.
std::vector<uint32_t> FeatureCodes(const std::vector<uint8_t> &answer) {
  std::vector<uint32_t> codes;
  for (size_t at = 8; at + 4 <= answer.size(); at += 4 + answer[at + 3])
    codes.push_back(Big16(answer, at));
  return codes;
}

// ---- Plain images: sizes around the fixed table and the CD/DVD boundary ------------------------
struct IsoCase {
  const char *name;
  uint64_t bytes;
  uint32_t blocks;
  uint32_t leadOut;
  uint32_t cylinders;
  bool dvd;
  uint8_t leadOutMsf[3];
};

constexpr uint64_t kMiB = 1024 * 1024;
const IsoCase kIsoCases[] = {
    {"Empty", 0, 0, 211333, 146, false, {46, 59, 58}},
    {"OneMiBAndAByte", kMiB + 1, 513, 211333, 146, false, {46, 59, 58}},
    {"FixedTableExactly", 299008ull * 2048, 299008, 211333, 146, false, {46, 59, 58}},
    {"OneSectorPastTheTable", 299009ull * 2048, 299009, 299009, 147, false, {66, 28, 59}},
    {"LargestCd", 900 * kMiB, 460800, 460800, 225, false, {102, 26, 0}},
    {"SmallestDvd", 900 * kMiB + 1, 460801, 460801, 226, true, {102, 26, 1}},
    {"SixGiB", 6144 * kMiB, 3145728, 3145728, 1536, true, {255, 59, 74}},
    {"PastTheLargestDisc",
     uint64_t(1) << 60,
     kLayoutMaxSectors,
     kLayoutMaxSectors,
     524288,
     true,
     {255, 59, 74}},
};

class IsoViewTest : public ::testing::TestWithParam<IsoCase> {};

TEST_P(IsoViewTest, EveryAnswerCoversTheImage) {
  const IsoCase &c = GetParam();
  LayoutTrack track;
  const DiscView view = VelmorIsoView(c.bytes, &track);
  EXPECT_EQ(view.blocks, c.blocks);
  EXPECT_EQ(view.leadOut, c.leadOut);
  EXPECT_EQ(view.cylinders, c.cylinders);
  const uint64_t discBytes = uint64_t(c.blocks) * 2048;

  auto length = Filled(8, [&](uint8_t *b) { EXPECT_EQ(VelmorFillLengthInfo(view, b, 8), 8u); });
  EXPECT_EQ(Little64(length, 0), discBytes);

  auto geometry =
      Filled(32, [&](uint8_t *b) { EXPECT_EQ(VelmorFillGeometryEx(view, b, 32), 32u); });
  EXPECT_EQ(Little64(geometry, 0), c.cylinders);
  EXPECT_EQ(Little32(geometry, 8), 11u); // removable media
  EXPECT_EQ(Little32(geometry, 12) * Little32(geometry, 16), 2048u);
  EXPECT_EQ(Little32(geometry, 20), 2048u);
  EXPECT_EQ(Little64(geometry, 24), discBytes);

  auto capacity =
      Filled(32, [&](uint8_t *b) { EXPECT_EQ(VelmorFillReadCapacity(view, b, 32), 32u); });
  EXPECT_EQ(Little32(capacity, 0), 32u);
  EXPECT_EQ(Little32(capacity, 4), 32u);
  EXPECT_EQ(Little32(capacity, 8), 2048u);
  EXPECT_EQ(Little64(capacity, 16), c.blocks);
  EXPECT_EQ(Little64(capacity, 24), discBytes);

  auto media = Filled(40, [&](uint8_t *b) { EXPECT_EQ(VelmorFillMediaTypes(view, b, 40), 40u); });
  EXPECT_EQ(Little32(media, 0), c.dvd ? 0x33u : 0x02u);
  EXPECT_EQ(Little32(media, 4), 1u);
  EXPECT_EQ(Little64(media, 8), c.cylinders);
  EXPECT_EQ(Little32(media, 16), c.dvd ? 0x36u : 0x33u);
  EXPECT_EQ(Little32(media, 36), 0x80000004u) << "read-only and mounted";

  std::vector<uint8_t> config;
  ASSERT_EQ(Configuration(view, {0, 0}, 64, &config).status, status::kSuccess);
  EXPECT_EQ(Big16(config, 6), c.dvd ? 0x0010u : 0x0008u) << "current profile";

  auto toc = Filled(kTocSize, [&](uint8_t *b) { VelmorFillToc(view, b, kTocSize); });
  EXPECT_EQ(std::vector<uint8_t>(toc.begin() + 17, toc.begin() + 20),
            std::vector<uint8_t>(c.leadOutMsf, c.leadOutMsf + 3));
  std::vector<uint8_t> lba;
  ASSERT_EQ(TocEx(view, {0, false, 0}, 20, &lba).status, status::kSuccess);
  EXPECT_EQ(Big32(lba, 16), c.leadOut) << "in blocks the lead-out is exact";
}

INSTANTIATE_TEST_SUITE_P(Sizes, IsoViewTest, ::testing::ValuesIn(kIsoCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- A layout disc with audio ------------------------------------------------------------------
// Data track 1 in Mode 2 from block 0, audio tracks 2 and 3, lead-out at 20,000 (04:28:50).
class LayoutDiscTest : public ::testing::Test {
protected:
  LayoutDiscTest() {
    tracks_[0] = MakeTrack(1, 0, 0, 1000, 2352, 24, 0);
    tracks_[1] = MakeTrack(2, 0, 1150, 5000, 2352, 0, 0, kControlAdrAudio);
    tracks_[2] = MakeTrack(3, 0, 6150, 13850, 2352, 0, 0, kControlAdrAudio);
    view_ = DiscView{tracks_, 3, 20000, 20000, 10};
  }
  LayoutTrack tracks_[3];
  DiscView view_;
};

TEST_F(LayoutDiscTest, TocExTracksFromTheOneAskedForInBlocksAndMsf) {
  std::vector<uint8_t> out;
  DiscAnswer a = TocEx(view_, {0, false, 2}, 100, &out);
  ASSERT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(a.information, 4u + 3 * 8) << "tracks 2, 3 and the lead-out";
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 28),
            (std::vector<uint8_t>{0, 26,   1,    3,                      // the disc's tracks
                                  0, 0x10, 2,    0, 0, 0, 0x04, 0x7E,    // 1,150
                                  0, 0x10, 3,    0, 0, 0, 0x18, 0x06,    // 6,150
                                  0, 0x10, 0xAA, 0, 0, 0, 0x4E, 0x20})); // 20,000
  a = TocEx(view_, {0, true, 0}, 100, &out);
  EXPECT_EQ(a.information, 4u + 4 * 8);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 4, out.begin() + 12),
            (std::vector<uint8_t>{0, 0x14, 1, 0, 0, 0, 2, 0}));
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 28, out.begin() + 36),
            (std::vector<uint8_t>{0, 0x10, 0xAA, 0, 0, 4, 28, 50}));
  a = TocEx(view_, {0, true, 0xAA}, 100, &out);
  EXPECT_EQ(a.information, 12u) << "the lead-out alone";
  EXPECT_EQ(out[6], 0xAA);
  EXPECT_EQ(TocEx(view_, {0, false, 4}, 100, &out).status, status::kInvalidDeviceRequest)
      << "no track 4";
}

TEST_F(LayoutDiscTest, TocExSessionAndFullToc) {
  std::vector<uint8_t> out;
  DiscAnswer a = TocEx(view_, {1, true, 0}, 12, &out);
  ASSERT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 2, 0}));
  a = TocEx(view_, {1, false, 0}, 12, &out);
  EXPECT_EQ(Big32(out, 8), 0u);

  a = TocEx(view_, {2, true, 1}, 200, &out);
  ASSERT_EQ(a.status, status::kSuccess);
  ASSERT_EQ(a.information, 4u + 6 * 11);
  EXPECT_EQ(Big16(out, 0), 2u + 6 * 11);
  const std::vector<std::vector<uint8_t>> entries = {
      {1, 0x14, 0, 0xA0, 0, 0, 0, 0, 1, 0x20, 0}, // first track 1, a CD-ROM XA disc
      {1, 0x10, 0, 0xA1, 0, 0, 0, 0, 3, 0, 0},    // last track 3
      {1, 0x10, 0, 0xA2, 0, 0, 0, 0, 4, 28, 50},  // lead-out
      {1, 0x14, 0, 1, 0, 0, 0, 0, 0, 2, 0},       {1, 0x10, 0, 2, 0, 0, 0, 0, 0, 17, 25},
      {1, 0x10, 0, 3, 0, 0, 0, 0, 1, 24, 0}};
  for (size_t i = 0; i < entries.size(); ++i)
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 4 + 11 * i, out.begin() + 15 + 11 * i), entries[i])
        << "descriptor " << i;
  EXPECT_EQ(TocEx(view_, {2, true, 2}, 200, &out).status, status::kInvalidDeviceRequest)
      << "one session only";
}

TEST_F(LayoutDiscTest, TocExCutShortStillTellsTheWholeLength) {
  std::vector<uint8_t> out;
  DiscAnswer a = TocEx(view_, {0, true, 0}, 2, &out);
  ASSERT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(a.information, 2u);
  EXPECT_EQ(Big16(out, 0), 2u + 4 * 8);
  a = TocEx(view_, {2, true, 0}, 10, &out);
  EXPECT_EQ(a.information, 10u);
  EXPECT_EQ(Big16(out, 0), 2u + 6 * 11);
}

TEST_F(LayoutDiscTest, TocExRefusesWhatTheClassDriverRefuses) {
  struct Bad {
    std::vector<uint8_t> input;
    NtStatus status;
  };
  const Bad bad[] = {
      {{0, 0, 0}, status::kInfoLengthMismatch},
      {{0x10, 0, 0, 0}, status::kInvalidParameter}, // reserved bits
      {{0, 0, 1, 0}, status::kInvalidParameter},
      {{0, 0, 0, 1}, status::kInvalidParameter},
      {{1, 1, 0, 0}, status::kInvalidParameter}, // the session format has no track
      {{4, 1, 0, 0}, status::kInvalidParameter},
      {{6, 0, 0, 0}, status::kInvalidParameter},     // no such format
      {{3, 0, 0, 0}, status::kInvalidDeviceRequest}, // no memory area on a pressed disc
      {{5, 0, 0, 0}, status::kInvalidDeviceRequest}, // no CD-Text
  };
  for (const Bad &b : bad) {
    std::vector<uint8_t> out(64, kUnwritten);
    const DiscAnswer a = VelmorAnswerTocEx(view_, b.input.data(), uint32_t(b.input.size()),
                                           out.data(), uint32_t(out.size()));
    EXPECT_EQ(a.status, b.status) << "input byte 0 " << int(b.input[0]);
    EXPECT_EQ(a.information, 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(64, kUnwritten)) << "nothing written";
  }
}

// ---- The stored table of contents --------------------------------------------------------------
TEST_F(LayoutDiscTest, ParsedTocGivesBackTheTracks) {
  auto toc = Filled(kTocSize, [&](uint8_t *b) { VelmorFillToc(view_, b, kTocSize); });
  LayoutTrack parsed[kLayoutMaxTracks];
  DiscView view{};
  ASSERT_TRUE(VelmorParseToc(toc.data(), kTocSize, parsed, &view));
  ASSERT_EQ(view.trackCount, 3u);
  EXPECT_EQ(view.leadOut, 20000u);
  EXPECT_EQ(view.blocks, 20000u);
  EXPECT_EQ(view.cylinders, 10u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(parsed[i].number, tracks_[i].number);
    EXPECT_EQ(parsed[i].controlAdr, tracks_[i].controlAdr);
    EXPECT_EQ(parsed[i].firstLba, tracks_[i].firstLba);
  }
  // A table that starts at track 5 and fits its 20 bytes exactly.
  const uint8_t late[] = {0, 18, 5, 5, 0, 0x14, 5, 0, 0, 0, 2, 0, 0, 0x14, 0xAA, 0, 0, 1, 0, 0};
  ASSERT_TRUE(VelmorParseToc(late, sizeof(late), parsed, &view));
  EXPECT_EQ(parsed[0].number, 5);
  EXPECT_EQ(view.leadOut, 4350u);
}

TEST(ParseTocTest, RefusesWhatIsNoTableOfContents) {
  const std::vector<uint8_t> good = {0, 26,   1,    2,               //
                                     0, 0x14, 1,    0, 0, 0, 2,  0,  // 00:02:00
                                     0, 0x10, 2,    0, 0, 0, 20, 0,  // 00:20:00
                                     0, 0x10, 0xAA, 0, 0, 0, 21, 0}; // 00:21:00
  // The good table with one byte changed, and why that is wrong.
  struct Change {
    size_t at;
    uint8_t value;
    const char *why;
  };
  const Change changes[] = {
      {1, 18, "length of one track for two"},
      {1, 27, "length not a whole number of tracks"},
      {2, 0, "no track 0"},
      {2, 3, "first after last"},
      {3, 100, "track 100"},
      {14, 3, "second track numbered 3"},
      {22, 0xAB, "no lead-out"},
      {8, 1, "address's reserved byte"},
      {10, 60, "60 seconds"},
      {11, 75, "75 frames"},
      {10, 1, "before block 0"},
      {18, 2, "second track where the first starts"},
      {26, 19, "lead-out before the last track"},
  };
  LayoutTrack tracks[kLayoutMaxTracks];
  DiscView view{};
  ASSERT_TRUE(VelmorParseToc(good.data(), uint32_t(good.size()), tracks, &view));
  for (const Change &c : changes) {
    std::vector<uint8_t> bad = good;
    bad[c.at] = c.value;
    EXPECT_FALSE(VelmorParseToc(bad.data(), uint32_t(bad.size()), tracks, &view)) << c.why;
  }
  EXPECT_FALSE(VelmorParseToc(good.data(), uint32_t(good.size() - 1), tracks, &view))
      << "cut short";
  EXPECT_FALSE(VelmorParseToc(good.data(), 3, tracks, &view)) << "no header";
}

// ---- Identity and configuration --------------------------------------------------------------
class DriveIdentityTest : public ::testing::Test {
protected:
  DiscAnswer Query(uint32_t property, uint32_t type, uint32_t length, std::vector<uint8_t> *out,
                   uint32_t inputLength = 12) {
    DiscAnswer answer{};
    *out = Filled(length, [&](uint8_t *buffer) {
      const uint8_t input[12] = {uint8_t(property), 0, 0, 0, uint8_t(type)};
      answer = VelmorAnswerPropertyQuery(cd_, input, inputLength, buffer, length);
    });
    return answer;
  }
  LayoutTrack track_;
  DiscView cd_ = VelmorIsoView(kMiB, &track_);
};

TEST_F(DriveIdentityTest, DeviceDescriptorNamesItsStringsInsideItself) {
  std::vector<uint8_t> whole;
  const DiscAnswer a = Query(0, 0, 512, &whole);
  ASSERT_EQ(a.status, status::kSuccess);
  const uint32_t size = Little32(whole, 4);
  EXPECT_EQ(a.information, size);
  EXPECT_EQ(whole[8], 5) << "a CD/DVD drive";
  EXPECT_EQ(whole[10], 1) << "removable";
  EXPECT_EQ(Little32(whole, 28), 2u) << "ATAPI";
  const std::pair<size_t, std::string> strings[] = {
      {12, "Velmor"}, {16, "Virtual CD-ROM"}, {20, "1.0"}};
  for (const auto &[field, text] : strings) {
    const uint32_t at = Little32(whole, field);
    ASSERT_GE(at, 40u) << "past the fixed fields";
    ASSERT_LE(at + text.size() + 1, size) << "inside the descriptor";
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(whole.data()) + at), text);
  }
  EXPECT_EQ(Little32(whole, 24), 0u) << "no serial number";

  // Eight bytes tell the size; a part is the start of the whole.
  std::vector<uint8_t> part;
  EXPECT_EQ(Query(0, 0, 8, &part).information, 8u);
  EXPECT_EQ(Little32(part, 4), size);
  EXPECT_EQ(Query(0, 0, 30, &part).information, 30u);
  EXPECT_EQ(part, std::vector<uint8_t>(whole.begin(), whole.begin() + 30));
  EXPECT_EQ(Query(0, 0, 7, &part).status, status::kBufferTooSmall);
}

TEST_F(DriveIdentityTest, AdapterDescriptorExistenceAndRefusals) {
  std::vector<uint8_t> out;
  DiscAnswer a = Query(1, 0, 64, &out);
  ASSERT_EQ(a.status, status::kSuccess);
  EXPECT_EQ(a.information, 32u);
  EXPECT_EQ(Little32(out, 4), 32u);
  EXPECT_EQ(Little32(out, 16), 1u) << "word alignment, as the drive's device has";
  EXPECT_EQ(out[24], 2) << "ATAPI, one byte";

  struct Refusal {
    uint32_t property, type, inputLength;
    NtStatus status;
  };
  const Refusal refusals[] = {
      {0, 1, 12, status::kSuccess},            // the device descriptor exists
      {1, 1, 12, status::kSuccess},            // and the adapter's
      {2, 0, 12, status::kNotSupported},       // no unique identifier
      {6, 1, 12, status::kNotSupported},       // nor anything else
      {0, 2, 12, status::kInvalidParameter},   // no mask query
      {0, 0, 11, status::kInfoLengthMismatch}, // a short query
  };
  for (const Refusal &r : refusals) {
    a = Query(r.property, r.type, 64, &out, r.inputLength);
    EXPECT_EQ(a.status, r.status) << "property " << r.property << " type " << r.type;
    EXPECT_EQ(a.information, 0u);
  }
}

TEST_F(DriveIdentityTest, ConfigurationListsTheFeaturesOfTheDrivesKind) {
  LayoutTrack dvdTrack;
  const DiscView dvd = VelmorIsoView(6144 * kMiB, &dvdTrack);
  struct Case {
    const DiscView *view;
    ConfigRequest request;
    std::vector<uint32_t> features;
  };
  const Case cases[] = {
      {&cd_, {0, 0}, {0x00, 0x01, 0x02, 0x03, 0x10, 0x1E}},
      {&dvd, {0, 0}, {0x00, 0x01, 0x02, 0x03, 0x10, 0x1E, 0x1F}},
      {&dvd, {0, 1}, {0x00, 0x01, 0x02, 0x03, 0x10, 0x1F}}, // current: no CD read
      {&cd_, {0x10, 0}, {0x10, 0x1E}},                      // from feature 0x10 on
      {&dvd, {0x1F, 2}, {0x1F}},                            // that one feature
      {&cd_, {0x1F, 2}, {}},                                // a CD drive has none
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> out;
    const DiscAnswer a = Configuration(*c.view, c.request, 256, &out);
    ASSERT_EQ(a.status, status::kSuccess);
    out.resize(a.information);
    EXPECT_EQ(FeatureCodes(out), c.features)
        << "feature " << c.request.feature << " type " << c.request.type;
    EXPECT_EQ(Big32(out, 0), a.information - 4) << "the length that follows";
  }
  // The profile list of a DVD-ROM drive: DVD-ROM current, then CD-ROM.
  std::vector<uint8_t> out;
  Configuration(dvd, {0, 2}, 64, &out);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 8, out.begin() + 20),
            (std::vector<uint8_t>{0, 0, 3, 8, 0, 0x10, 1, 0, 0, 0x08, 0, 0}));
  // Cut short, the header still tells the whole length.
  const DiscAnswer cut = Configuration(dvd, {0, 0}, 8, &out);
  EXPECT_EQ(cut.information, 8u);
  EXPECT_GT(Big32(out, 0), 40u);
}

TEST_F(DriveIdentityTest, ConfigurationRefusals) {
  std::vector<uint8_t> out;
  EXPECT_EQ(Configuration(cd_, {0, 0}, 64, &out, 15).status, status::kInfoLengthMismatch);
  EXPECT_EQ(Configuration(cd_, {0, 3}, 64, &out).status, status::kInvalidParameter);
  EXPECT_EQ(Configuration(cd_, {0x10000, 0}, 64, &out).status, status::kInvalidParameter);
  uint8_t input[16] = {};
  input[12] = 1; // a reserved pointer
  EXPECT_EQ(VelmorAnswerConfiguration(cd_, input, 16, out.data(), 8).status,
            status::kInvalidParameter);
}

TEST(FixedAnswersTest, DeviceNumberHotplugAndSessionWriteOnlyWhatFits) {
  LayoutTrack track;
  const DiscView view = VelmorIsoView(kMiB, &track);
  auto number = Filled(12, [&](uint8_t *b) { EXPECT_EQ(VelmorFillDeviceNumber(4, b, 12), 12u); });
  EXPECT_EQ(Little32(number, 0), 2u) << "FILE_DEVICE_CD_ROM";
  EXPECT_EQ(Little32(number, 4), 4u) << "E: is drive 4";
  EXPECT_EQ(Little32(number, 8), 0xFFFFFFFFu) << "no partition";
  auto hotplug = Filled(8, [&](uint8_t *b) { VelmorFillHotplugInfo(b, 8); });
  EXPECT_EQ(hotplug, (std::vector<uint8_t>{8, 0, 0, 0, 1, 0, 1, 0}));
  auto session = Filled(12, [&](uint8_t *b) { VelmorFillSession(view, false, b, 12); });
  EXPECT_EQ(session, (std::vector<uint8_t>{0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0}));
  // Every fixed-size fill with every shorter buffer: the guard bytes stay.
  const std::function<uint32_t(uint8_t *, uint32_t)> fills[] = {
      [&](uint8_t *b, uint32_t n) { return VelmorFillLengthInfo(view, b, n); },
      [&](uint8_t *b, uint32_t n) { return VelmorFillGeometryEx(view, b, n); },
      [&](uint8_t *b, uint32_t n) { return VelmorFillReadCapacity(view, b, n); },
      [&](uint8_t *b, uint32_t n) { return VelmorFillDeviceNumber(1, b, n); },
      [&](uint8_t *b, uint32_t n) { return VelmorFillHotplugInfo(b, n); },
      [&](uint8_t *b, uint32_t n) { return VelmorFillMediaTypes(view, b, n); },
      [&](uint8_t *b, uint32_t n) { return VelmorFillSession(view, true, b, n); },
      [&](uint8_t *b, uint32_t n) { return VelmorFillToc(view, b, n); },
  };
  for (const auto &fill : fills)
    for (uint32_t n = 0; n < 64; ++n)
      Filled(n, [&](uint8_t *b) { fill(b, n); });
}

// ---- Buffer rules ----------------------------------------------------------------------------
TEST(RequestRuleTest, ChecksInTheClassDriversOrder) {
  struct Case {
    uint32_t code, input, output;
    NtStatus status;
  };
  const Case cases[] = {
      {ioctl::kDiskGetLengthInfo, 0, 7, status::kBufferTooSmall},
      {ioctl::kDiskGetLengthInfo, 0, 8, status::kSuccess},
      {ioctl::kCdromGetDriveGeometryEx, 0, 31, status::kBufferTooSmall},
      {ioctl::kStorageReadCapacity, 0, 31, status::kBufferTooSmall},
      {ioctl::kStorageGetDeviceNumber, 0, 11, status::kBufferTooSmall},
      {ioctl::kStorageGetHotplugInfo, 0, 7, status::kBufferTooSmall},
      {ioctl::kStorageGetMediaTypesEx, 0, 39, status::kBufferTooSmall},
      {ioctl::kStorageQueryProperty, 11, 512, status::kInfoLengthMismatch},
      {ioctl::kStorageQueryProperty, 12, 0, status::kSuccess}, // an existence query
      {ioctl::kDiskIsWritable, 0, 0, status::kSuccess},
      {ioctl::kStorageCheckVerify2, 0, 0, status::kSuccess},
      {ioctl::kStorageCheckVerify2, 0, 3, status::kBufferTooSmall},
      {ioctl::kCdromGetLastSession, 0, 11, status::kBufferTooSmall},
      // The input before the output, but for the configuration.
      {ioctl::kCdromReadTocEx, 3, 1, status::kInfoLengthMismatch},
      {ioctl::kCdromReadTocEx, 4, 1, status::kBufferTooSmall},
      {ioctl::kCdromReadTocEx, 4, 3, status::kInvalidParameter}, // odd
      {ioctl::kCdromReadTocEx, 4, 0x10000, status::kInvalidParameter},
      {ioctl::kCdromReadTocEx, 4, 0xFFFE, status::kSuccess},
      {ioctl::kCdromGetConfiguration, 0, 7, status::kBufferTooSmall},
      {ioctl::kCdromGetConfiguration, 0, 0x10000, status::kInvalidBufferSize},
      {ioctl::kCdromGetConfiguration, 0, 9, status::kInvalidParameter},
      {ioctl::kCdromGetConfiguration, 15, 8, status::kInfoLengthMismatch},
      {ioctl::kCdromGetConfiguration, 24, 8, status::kSuccess},
  };
  for (const Case &c : cases) {
    const BufferRule *rule = VelmorBufferRuleOf(c.code);
    ASSERT_NE(rule, nullptr) << std::hex << c.code;
    EXPECT_EQ(VelmorCheckBufferRule(*rule, c.input, c.output), c.status)
        << std::hex << c.code << std::dec << " input " << c.input << " output " << c.output;
  }
  EXPECT_EQ(VelmorBufferRuleOf(0), nullptr) << "no row, no rule";
}

} // namespace
} // namespace velmor::test
