#include "app/ImageListFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace velmor {
namespace {

using Entries = std::vector<std::string>;

// GBK bytes of "D:\光盘\镜像.iso"; kept as bytes, never converted.
const std::string kGbkPath = "D:\\\xB9\xE2\xC5\xCC\\\xBE\xB5\xCF\xF1.iso";

TEST(ImageListFormat, EveryLineEndsWithCrLf) {
  EXPECT_EQ(FormatImageList({}), "");
  EXPECT_EQ(FormatImageList({"a.iso"}), "a.iso\r\n");
  EXPECT_EQ(FormatImageList({kGbkPath, "", "a.iso", "a.iso"}),
            kGbkPath + "\r\n\r\na.iso\r\na.iso\r\n");
}

TEST(ImageListFormat, ReadingAcceptsEveryLineEnd) {
  EXPECT_EQ(ParseImageList(""), Entries{});
  EXPECT_EQ(ParseImageList("a\r\nb\rc\nd"), (Entries{"a", "b", "c", "d"}));
  EXPECT_EQ(ParseImageList("a\r\n"), Entries{"a"});
  // LF CR is two line ends, CR LF one.
  EXPECT_EQ(ParseImageList("a\n\rb"), (Entries{"a", "", "b"}));
  EXPECT_EQ(ParseImageList("\r\n"), Entries{""});
  EXPECT_EQ(ParseImageList("a\r\n\r\n\nb\r"), (Entries{"a", "", "", "b"}));
}

TEST(ImageListFormat, RoundTripKeepsBytesEmptyEntriesAndDuplicates) {
  const Entries entries{kGbkPath, "", "C:\\x.iso", "C:\\x.iso", "\x81\x5C\xFE\xFE"};
  EXPECT_EQ(ParseImageList(FormatImageList(entries)), entries);
}

class ImageListStoreTest : public ::testing::Test {
protected:
  void TearDown() override { std::remove(path_.c_str()); }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void Write(const std::string &bytes) const { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string path_ = ::testing::TempDir() + "velmor_isofile_test.ini";
};

TEST_F(ImageListStoreTest, MissingFileLoadsNothing) {
  ImageListStore store(path_);
  Entries entries{"stale"};
  EXPECT_FALSE(store.Load(entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(ImageListStoreTest, SaveReplacesTheWholeFileAndLoadReadsItBack) {
  Write("old line that is much longer than the new contents\r\n");
  ImageListStore store(path_);
  store.Save({kGbkPath, ""});
  EXPECT_EQ(Read(), kGbkPath + "\r\n\r\n");
  Entries entries;
  ASSERT_TRUE(store.Load(entries));
  EXPECT_EQ(entries, (Entries{kGbkPath, ""}));
}

TEST_F(ImageListStoreTest, EmptyListIsSavedAsEmptyFile) {
  Write("a.iso\r\n");
  ImageListStore store(path_);
  store.Save({});
  EXPECT_EQ(Read(), "");
  Entries entries{"x"};
  EXPECT_TRUE(store.Load(entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(ImageListStoreTest, UnreadableOrUnwritablePathThrows) {
  // A directory exists but is not a readable list file.
  ImageListStore dir(::testing::TempDir());
  Entries entries;
  EXPECT_THROW(dir.Load(entries), std::runtime_error);
  EXPECT_THROW(dir.Save({"a"}), std::runtime_error);
  ImageListStore noFolder(::testing::TempDir() + "no-such-folder/IsoFile.ini");
  EXPECT_THROW(noFolder.Save({"a"}), std::runtime_error);
}

} // namespace
} // namespace velmor
