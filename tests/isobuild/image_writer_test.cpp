// Threaded image writes through the component against the in-memory file source: the image
// equals what the in-place write makes plus the post-gap, and every way a write ends is reported
// once with its text. Aborts and failures are placed with the platform's hooks, not with timing.
#include <gtest/gtest.h>

#include <thread>

#include "writer_platform.h"

namespace velmor::testing {
namespace {

constexpr std::uint64_t kBlock = 63488;

class WriterTest : public ::testing::Test {
protected:
  WriterPlatform fs;
  std::unique_ptr<TKavoBurner> owned = std::make_unique<TKavoBurner>(fs);
  TKavoBurner &burner = *owned;
  Completion done;
  BootOptions boot; // no boot image unless a test names one

  void SetUp() override { burner.NewCompilation(600000, 20000); }

  void AddFile(const std::string &name, std::uint64_t size) {
    fs.AddFile("D:\\src\\" + name, size);
  }
  void Prepare() {
    burner.InsertFolder("\\", "D:\\src", false, true, true, kAllAttributes, "*.*");
    if (!boot.ImagePath.empty()) {
      EXPECT_EQ(burner.SetBootImage(boot), "");
    }
    burner.PrepareImage(true, nullptr);
  }
  // The image as the in-place write makes it, lengthened by the post-gap.
  std::vector<std::uint8_t> InPlaceImage() {
    Prepare();
    EXPECT_TRUE(burner.WriteImage("D:\\inplace.iso", true));
    std::vector<std::uint8_t> image = fs.Image;
    image.resize(static_cast<std::size_t>(burner.ImageSectors() * 2048), 0);
    return image;
  }
  void ExpectImageLikeInPlace(std::int32_t cacheSize, std::uint64_t bigFile);
  std::string Write() {
    done.Attach(burner);
    EXPECT_TRUE(burner.WriteImage("D:\\out.iso"));
    return done.Wait();
  }
};

// Files that are exact multiples of a sector, a 5-byte file, an empty file and, with the smallest
// cache, more data than the queue holds.
void WriterTest::ExpectImageLikeInPlace(std::int32_t cacheSize, std::uint64_t bigFile) {
  AddFile("a2048.bin", 2048);
  AddFile("b5.bin", 5);
  AddFile("c.bin", 3 * kBlock);
  AddFile("empty.bin", 0);
  if (bigFile)
    AddFile("big.bin", bigFile);
  burner.SetCacheSize(cacheSize);
  const std::vector<std::uint8_t> expected = InPlaceImage();
  EXPECT_EQ(Write(), "");
  EXPECT_EQ(fs.Image.size(), static_cast<std::size_t>(burner.ImageSectors() * 2048));
  EXPECT_TRUE(fs.Image == expected);
  EXPECT_EQ(burner.BytesWritten(), burner.ImageSectors() * 2048);
  EXPECT_EQ(burner.ISOFileName(), "D:\\out.iso");
  EXPECT_NE(done.Thread(), std::this_thread::get_id()) << "raised on the writer thread";
  EXPECT_EQ(fs.OpenNow, 0);
}

TEST_F(WriterTest, SmallImageEqualsTheInPlaceImageWithItsPostGap) {
  ExpectImageLikeInPlace(4194304, 0);
}

// Its boot image's copy carries the boot info table in both writes; with UDF, both end with the
// last anchor after the files.
TEST_F(WriterTest, ImageLargerThanTheSmallestCacheEqualsTheInPlaceImage) {
  boot.ImagePath = "/src/c.bin";
  boot.NoEmulation = boot.InfoTable = true;
  burner.SetUdfFileSystem(true);
  ExpectImageLikeInPlace(2097152, 2 * 1048576 + 5);
  ASSERT_GE(fs.Image.size(), 2048u);
  EXPECT_EQ(fs.Image[fs.Image.size() - 2048], 2) << "an anchor";
  EXPECT_EQ(Le32(&fs.Image[fs.Image.size() - 2048 + 12]), fs.Image.size() / 2048 - 1);
}

TEST_F(WriterTest, AbortRightAfterTheStartStillWritesTheFirstBlock) {
  AddFile("a.bin", 1048576);
  Prepare();
  Gate create;
  fs.HoldCreate = &create;
  done.Attach(burner);
  ASSERT_TRUE(burner.WriteImage("D:\\out.iso"));
  burner.AbortWrite();
  create.Open();
  EXPECT_EQ(done.Wait(), "OPERATION ABORTED BY USER");
  EXPECT_EQ(fs.ImageBytes, kBlock);
  EXPECT_EQ(fs.OpenNow, 0);
}

TEST_F(WriterTest, AbortDuringABlockCompletesThatBlockOnly) {
  AddFile("a.bin", 1048576);
  Prepare();
  fs.BeforeWrite = [&](std::size_t index) {
    if (index == 6) // in the file data: the header takes five blocks
      burner.AbortWrite();
    return true;
  };
  EXPECT_EQ(Write(), "OPERATION ABORTED BY USER");
  EXPECT_EQ(fs.ImageBytes, 7 * kBlock - (5 * kBlock - 150 * 2048));
  EXPECT_EQ(done.Calls(), 1);
}

TEST_F(WriterTest, FailedWriteIsReportedWithTheImageName) {
  AddFile("a.bin", 1048576);
  Prepare();
  fs.BeforeWrite = [](std::size_t index) { return index < 2; }; // the disk is full
  fs.SystemCode = 112;
  EXPECT_EQ(Write(), "CAN'T WRITE FILE \"D:\\out.iso\"");
  const WriteFailure &failure = burner.LastWriteFailure();
  EXPECT_EQ(failure.Kind, WriteFailureKind::kImageUnwritable);
  EXPECT_EQ(failure.Path + " " + std::to_string(failure.SystemCode), "D:\\out.iso 112");
  EXPECT_EQ(fs.ImageBytes, 2 * kBlock);
  EXPECT_EQ(fs.OpenNow, 0);
}

TEST_F(WriterTest, ImageThatCannotBeCreatedWritesNothing) {
  AddFile("a.bin", 1048576);
  Prepare();
  fs.FailCreate = true;
  EXPECT_EQ(Write(), "CAN'T CREATE FILE \"D:\\out.iso\"");
  EXPECT_EQ(burner.BytesWritten(), 0);
  EXPECT_EQ(fs.OpenNow, 0);
}

TEST_F(WriterTest, SourceMissingInTheMiddleLeavesWhatWasWritten) {
  AddFile("a.bin", 3 * 1048576); // more than the queue holds, so the writer is already running
  AddFile("b.bin", 10);
  burner.SetCacheSize(2097152);
  const std::vector<std::uint8_t> expected = InPlaceImage();
  fs.Remove("D:\\src\\b.bin");
  fs.SystemCode = 2;
  burner.PrepareImage(true, nullptr);
  EXPECT_EQ(Write(), "CAN'T OPEN FILE \"D:\\src\\b.bin\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_EQ(burner.LastWriteFailure().Kind, WriteFailureKind::kSourceUnopenable);
  EXPECT_EQ(burner.LastWriteFailure().SystemCode, 2u);
  ASSERT_LE(fs.Image.size(), expected.size());
  EXPECT_TRUE(std::equal(fs.Image.begin(), fs.Image.end(), expected.begin()));
}

TEST_F(WriterTest, FailureBeforeTheWriterStartsIsReportedOnTheCallingThread) {
  AddFile("b.bin", 10);
  Prepare();
  fs.Remove("D:\\src\\b.bin");
  done.Attach(burner);
  EXPECT_FALSE(burner.WriteImage("D:\\out.iso"));
  EXPECT_EQ(done.Calls(), 1);
  EXPECT_EQ(done.Thread(), std::this_thread::get_id());
  EXPECT_FALSE(fs.ImageCreated);
  // The header went with the cache: a second write needs a fresh PrepareImage.
  done.Reset();
  done.Attach(burner);
  EXPECT_FALSE(burner.WriteImage("D:\\out.iso"));
  EXPECT_EQ(done.Wait(), "INTERNAL ERROR 0005");
}

TEST_F(WriterTest, ShorterSourceKeepsTheLayoutAndIsNamed) {
  AddFile("a.bin", 100000);
  AddFile("b.bin", 3000);
  Prepare();
  fs.ShortSources["D:\\src\\a.bin"] = 1000;
  EXPECT_EQ(Write(), "FILE \"D:\\src\\a.bin\" CHANGED WHILE THE IMAGE WAS WRITTEN");
  EXPECT_EQ(fs.Image.size(), static_cast<std::size_t>(burner.ImageSectors() * 2048));
  const TEntryNode *b = burner.FindEntry(burner.FindDir("\\src"), "b.bin");
  ASSERT_NE(b, nullptr);
  const std::size_t at = (burner.Layout().FirstFileSector + b->DataSector) * 2048u;
  EXPECT_EQ(fs.Image[at + 2999], ContentByte("D:\\src\\b.bin", 2999));
}

// A source that shrank or grew since it was listed: both writers make the same image (its share
// cut or padded with zeros to the listed size, the boot info table laid on it) and end with the
// same text naming it.
TEST_F(WriterTest, BothWritersAgreeOnASourceThatChanged) {
  AddFile("a.bin", 100000);
  AddFile("b.bin", 3000);
  boot.ImagePath = "/src/a.bin";
  boot.NoEmulation = boot.InfoTable = true;
  Prepare();
  for (const bool grown : {false, true}) {
    fs.ShortSources.clear();
    fs.GrownSources.clear();
    (grown ? fs.GrownSources : fs.ShortSources)["D:\\src\\a.bin"] = grown ? 5000 : 1000;
    std::string inPlaceText;
    burner.OnWriteDone = [&](TKavoBurner *, const std::string &text) { inPlaceText = text; };
    fs.Image.clear();
    EXPECT_FALSE(burner.WriteImage("D:\\inplace.iso", true));
    std::vector<std::uint8_t> expected = fs.Image;
    expected.resize(static_cast<std::size_t>(burner.ImageSectors() * 2048), 0);
    fs.Image.clear();
    burner.PrepareImage(true, nullptr);
    done.Reset();
    const std::string text = Write();
    EXPECT_EQ(text, "FILE \"D:\\src\\a.bin\" CHANGED WHILE THE IMAGE WAS WRITTEN") << grown;
    EXPECT_EQ(inPlaceText, text) << grown;
    EXPECT_TRUE(fs.Image == expected) << grown;
    burner.PrepareImage(true, nullptr);
  }
}

TEST_F(WriterTest, CompletionHandlerMayStartTheNextWrite) {
  AddFile("a.bin", 100000);
  Prepare();
  int calls = 0; // guarded by the component: one completion event runs at a time
  burner.OnWriteDone = [&](TKavoBurner *, const std::string &error) {
    if (++calls > 1)
      return done.Record(error);
    EXPECT_EQ(error, "");
    burner.PrepareImage(true, nullptr);
    EXPECT_TRUE(burner.WriteImage("D:\\again.iso"));
  };
  ASSERT_TRUE(burner.WriteImage("D:\\out.iso"));
  EXPECT_EQ(done.Wait(), "");
  EXPECT_EQ(fs.Image.size(), static_cast<std::size_t>(burner.ImageSectors() * 2048));
}

TEST_F(WriterTest, ComponentDestroyedRightAfterAbortOutlivesItsThreads) {
  AddFile("a.bin", 3 * 1048576);
  burner.SetCacheSize(2097152);
  Prepare();
  Gate resume;
  fs.BeforeWrite = [&](std::size_t index) {
    if (index == 1)
      resume.Wait();
    return true;
  };
  done.Attach(burner);
  ASSERT_TRUE(burner.WriteImage("D:\\out.iso"));
  burner.AbortWrite();
  std::thread closing([&] { owned.reset(); });
  resume.Open();
  closing.join();
  EXPECT_EQ(fs.OpenNow, 0);
  EXPECT_LE(done.Calls(), 1);
}

} // namespace
} // namespace velmor::testing
