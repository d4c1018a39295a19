// The POSIX side of the platform seam.
#include <cerrno>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "platform.h"

namespace velmor {
namespace {

namespace fs = std::filesystem;

class PosixPlatformTest : public ::testing::Test {
protected:
  fs::path dir;
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmor-seam-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string Read(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(PosixPlatformTest, ListingIsSortedAndRefusesWhatAnImageCannotHold) {
  std::ofstream(dir / "b.txt") << "12345";
  std::ofstream(dir / "a.txt") << "";
  fs::create_directory(dir / "sub");
  fs::create_symlink(dir / "sub", dir / "loop");    // a folder link could loop
  fs::create_symlink(dir / "b.txt", dir / "c.lnk"); // a file link is its file
  fs::create_symlink(dir / "none", dir / "dangling");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::vector<ListingRecord> records;
  ASSERT_TRUE(NativePlatform().ListFolder(dir.string() + "/", "*.*", records));
  std::vector<std::string> names;
  for (const ListingRecord &r : records)
    names.push_back(r.Name + (r.Refused() ? ": " + std::to_string(int(r.Refusal)) : ""));
  const auto refused = [](const char *name, LeftOutReason why) {
    return std::string(name) + ": " + std::to_string(int(why));
  };
  EXPECT_EQ(names, (std::vector<std::string>{
                       "a.txt", "b.txt", "c.lnk", refused("dangling", LeftOutReason::kBrokenLink),
                       refused("loop", LeftOutReason::kLinkToFolder),
                       refused("pipe", LeftOutReason::kNotFileOrFolder), "sub"}));
  records.erase(records.begin() + 3, records.begin() + 6);
  EXPECT_EQ(records[1].Attr, kAttrArchive);
  EXPECT_EQ(records[1].Size, 5u);
  EXPECT_TRUE(records[1].AlternateName.empty());
  EXPECT_EQ(records[2].Size, 5u);
  EXPECT_EQ(records[3].Attr, kAttrDirectory);
  EXPECT_FALSE(NativePlatform().ListFolder(dir.string() + "/none/", "*.*", records));
  EXPECT_EQ(NativePlatform().LastSystemCode(), std::uint32_t(ENOENT)) << "the listing's own code";
  ListingRecord one;
  ASSERT_TRUE(NativePlatform().Stat((dir / "sub").string() + "/", one));
  EXPECT_EQ(one.Name, "sub");
  // A link to a folder named on its own is followed.
  ASSERT_TRUE(NativePlatform().Stat((dir / "loop").string(), one));
  EXPECT_TRUE(one.IsFolder());
}

TEST_F(PosixPlatformTest, TextAndTimeZone) {
  Platform &p = NativePlatform();
  EXPECT_EQ(p.AnsiToUtf16("\xE4\xB8\xAD\xE6\x96\x87.txt"), u"\u4E2D\u6587.txt");
  EXPECT_EQ(p.AnsiToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(p.AnsiToUtf16("a\xFF"), u"a\uFFFD");
  EXPECT_EQ(p.CharLength(0xE4), 3u);
  EXPECT_EQ(p.TimeZoneBiasMinutes(), -480); // the tests run at Asia/Shanghai
}

TEST_F(PosixPlatformTest, ImageFileKeepsLongZeroRunsAsHoles) {
  const fs::path image = dir / "x.iso";
  std::ofstream(image) << std::string(9u << 20, 'x'); // an earlier, longer file is emptied
  {
    auto out = NativePlatform().CreateImage(image.string());
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->Write("ab", 2));
    ASSERT_TRUE(out->WriteZeros(3));
    ASSERT_TRUE(out->Write("c", 1));
    ASSERT_TRUE(out->WriteZeros(4u << 20));
    ASSERT_TRUE(out->Write("d", 1));
    ASSERT_TRUE(out->WriteZeros(2u << 20)); // a hole at the very end
    ASSERT_TRUE(out->Close());
  }
  const std::string bytes = Read(image);
  ASSERT_EQ(bytes.size(), 6u + (4u << 20) + 1 + (2u << 20));
  EXPECT_EQ(bytes.substr(0, 6), std::string("ab\0\0\0c", 6));
  EXPECT_EQ(bytes[6 + (4u << 20)], 'd');
  EXPECT_EQ(bytes.find_first_not_of('\0', 7), 6u + (4u << 20));
  EXPECT_EQ(bytes.back(), '\0');
  EXPECT_EQ(NativePlatform().CreateImage((dir / "no" / "x.iso").string()), nullptr);
}

} // namespace
} // namespace velmor
