#include "ripper/VolumeCopy.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace velmor
