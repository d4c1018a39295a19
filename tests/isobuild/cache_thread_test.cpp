// The read-ahead cache on its own: block contents and order, the bound on queued blocks, the
// post-gap and aborts in every phase. The queue is drained with Pop.
#include <gtest/gtest.h>

#include <thread>

#include "cache_thread.h"
#include "writer_platform.h"

namespace velmor::testing {
namespace {

constexpr std::int32_t kMinCache = 2097152; // capacity 32: at most 31 blocks queued
constexpr std::uint32_t kBlock = 63488;

class CacheTest : public ::testing::Test {
protected:
  WriterPlatform fs;
  TKavoBurner burner{fs};
  std::vector<std::pair<std::string, std::uint64_t>> files;
  std::vector<std::uint8_t> header;

  void SetUp() override { burner.NewCompilation(600000, 20000); }

  void AddFile(const std::string &name, std::uint64_t size) {
    const std::string path = "D:\\" + name;
    fs.AddFile(path, size);
    burner.InsertFile("\\", path, false);
    files.emplace_back(path, size);
  }
  // A made-up header: the cache takes the stream as it is.
  void SetHeader(std::size_t sectors) {
    header.resize(sectors * 2048);
    for (std::size_t i = 0; i < header.size(); ++i)
      header[i] = static_cast<std::uint8_t>(i * 13 + 1);
    burner.HeaderStream().Bytes() = header;
  }
  std::int64_t ImageBytes() const {
    std::uint64_t n = header.size();
    for (const auto &f : files)
      n += (f.second + 2047) / 2048 * 2048;
    return static_cast<std::int64_t>(n);
  }
  std::unique_ptr<TCacheThread> Start(std::int32_t cacheSize, bool postGap = false,
                                      std::int64_t imageBytes = -1) {
    return std::make_unique<TCacheThread>(fs, TKavoBurner::Compilation(), burner.HeaderStream(),
                                          cacheSize, postGap,
                                          imageBytes < 0 ? ImageBytes() : imageBytes);
  }
  // Header, each file's bytes padded to a sector, then zeros up to Length.
  std::vector<std::uint8_t> Expected(std::size_t length = 0) const {
    std::vector<std::uint8_t> out = header;
    for (const auto &[path, size] : files) {
      for (std::uint64_t k = 0; k < size; ++k)
        out.push_back(ContentByte(path, k));
      out.resize((out.size() + 2047) / 2048 * 2048, 0);
    }
    out.resize(std::max(out.size(), length), 0);
    return out;
  }

  std::vector<std::uint32_t> counts;
  std::vector<std::uint8_t> bytes;
  void Drain(TCacheThread &cache) {
    std::vector<std::uint8_t> block(kBlock);
    for (;;) {
      const std::int32_t n = cache.Pop(block.data());
      if (n == 0)
        break;
      if (n < 0) {
        std::this_thread::yield();
        continue;
      }
      counts.push_back(static_cast<std::uint32_t>(n));
      bytes.insert(bytes.end(), block.begin(), block.begin() + n);
    }
    EXPECT_EQ(cache.Pop(block.data()), 0) << "the end stays the end";
  }
};

TEST_F(CacheTest, CompilationWithoutFileDataGivesHeaderThenPostGap) {
  burner.PrepareImage(true, nullptr);
  header = burner.HeaderStream().Bytes(); // sectors 0-149
  for (const bool postGap : {false, true}) {
    burner.HeaderStream().Bytes() = header;
    counts.clear();
    bytes.clear();
    auto cache = Start(4194304, postGap);
    Drain(*cache);
    std::vector<std::uint32_t> want = {kBlock, kBlock, kBlock, kBlock, 53248};
    if (postGap)
      want.insert(want.end(), {kBlock, kBlock, kBlock, kBlock, 53248});
    EXPECT_EQ(counts, want);
    EXPECT_TRUE(bytes == Expected(postGap ? 614400 : 0));
    EXPECT_EQ(cache->ErrorText(), "");
    EXPECT_EQ(cache->ImageBytesLeft(), 0);
    EXPECT_EQ(burner.HeaderStream().Size(), 0u) << "the header now lived in the blocks";
  }
}

TEST_F(CacheTest, FilesArePaddedToSectorsAndPackedAcrossFiles) {
  SetHeader(1);
  AddFile("a.bin", 4096); // exact multiple: no padding, the next file follows directly
  AddFile("b.bin", 5);    // one sector: 5 bytes and 2,043 zeros
  AddFile("c.bin", kBlock);
  AddFile("d.bin", 2048);
  AddFile("empty.bin", 0);
  // A file placed at a fixed sector has no share of the file area.
  fs.AddFile("D:\\fixed.bin", 4096);
  ListingRecord fixed;
  fs.Stat("D:\\fixed.bin", fixed);
  burner.AddFileEntry(burner.FindDir("\\"), fixed, false, 20, "D:\\fixed.bin");
  auto cache = Start(4194304);
  Drain(*cache);
  // The header block, then a+b+28 sectors of c, then 3 sectors of c and d.
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{2048, kBlock, 4 * 2048}));
  EXPECT_TRUE(bytes == Expected());
}

TEST_F(CacheTest, HeaderLargerThanTheQueueLetsTheWriterStartBeforeAnyFileIsRead) {
  SetHeader(40 * 31);
  AddFile("big.bin", 40 * kBlock + 7);
  auto cache = Start(kMinCache);
  EXPECT_EQ(cache->Capacity(), 32);
  EXPECT_TRUE(cache->WaitUntilReady(std::atomic<bool>(false)));
  EXPECT_EQ(cache->QueuedBlocks(), 31u);
  EXPECT_EQ(fs.Opened, 0);
  Drain(*cache);
  EXPECT_TRUE(bytes == Expected());
  EXPECT_EQ(cache->PeakQueuedBlocks(), 31u);
}

TEST_F(CacheTest, PostGapFillsUpTo300Sectors) {
  struct Case {
    std::size_t Sectors;
    bool PostGap;
    std::size_t Length;
  };
  for (const Case c : {Case{299, true, 614400}, Case{300, true, 614400}, Case{299, false, 612352},
                       Case{301, true, 616448}}) {
    SetHeader(c.Sectors);
    counts.clear();
    bytes.clear();
    auto cache = Start(4194304, c.PostGap);
    Drain(*cache);
    EXPECT_EQ(bytes.size(), c.Length) << c.Sectors;
    EXPECT_TRUE(bytes == Expected(c.Length));
    EXPECT_EQ(counts.back(), c.Sectors == 299 && c.PostGap ? 2048u : c.Sectors * 2048 % kBlock);
  }
}

TEST_F(CacheTest, AbortWhileWaitingForRoomEmptiesTheQueueAndClosesTheSource) {
  // Waiting in the header, and in the middle of a file.
  for (const std::size_t headerSectors : {40u * 31, 16u}) {
    SetHeader(headerSectors);
    files.clear();
    AddFile("big" + std::to_string(headerSectors), 40 * kBlock);
    fs.Opened = 0;
    auto cache = Start(kMinCache);
    ASSERT_TRUE(cache->WaitUntilReady(std::atomic<bool>(false)));
    cache->Abort();
    cache->Join();
    EXPECT_EQ(cache->ErrorText(), "OPERATION ABORTED BY USER");
    EXPECT_TRUE(cache->Finished());
    EXPECT_EQ(cache->QueuedBlocks(), 0u);
    std::uint8_t block[kBlock];
    EXPECT_EQ(cache->Pop(block), 0);
    EXPECT_EQ(fs.Opened, headerSectors > 31 * 31 ? 0 : 1);
    EXPECT_EQ(fs.OpenNow, 0);
  }
}

TEST_F(CacheTest, DataThatDoNotMatchTheLayoutAreAnError) {
  SetHeader(16);
  AddFile("a.bin", 3000);
  auto cache = Start(4194304, false, ImageBytes() + 2048);
  Drain(*cache);
  EXPECT_EQ(cache->ErrorText(), "INTERNAL ERROR 0005");
}

} // namespace
} // namespace velmor::testing
