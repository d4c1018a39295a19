// The Win32 side of the platform seam, run under the GBK code page and UTC+8.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "kavo_burner.h"

namespace velmor {
namespace {

namespace fs = std::filesystem;

// Chinese names on disk are covered by the velmor-mkiso test under Wine.
const std::string kLongName = "a rather long file name.text";

class Win32PlatformTest : public ::testing::Test {
protected:
  std::string dir =
      (fs::temp_directory_path() / ("velmor-seam-" + std::to_string(GetCurrentProcessId())))
          .string();
  void SetUp() override { fs::create_directories(dir + "\\sub"); }
  void TearDown() override { fs::remove_all(dir); }
  void File(const std::string &name, const std::string &bytes) {
    std::ofstream(dir + "\\" + name, std::ios::binary) << bytes;
  }
};

TEST_F(Win32PlatformTest, CodePageAndTimeZone) {
  Platform &p = NativePlatform();
  EXPECT_EQ(GetACP(), 936u);
  EXPECT_EQ(p.AnsiToUtf16("\xD6\xD0\xCE\xC4.txt"), u"\u4E2D\u6587.txt");
  EXPECT_EQ(p.CharLength(0xD6), 2u);
  EXPECT_EQ(p.CharLength('a'), 1u);
  EXPECT_EQ(p.TimeZoneBiasMinutes(), -480);
}

TEST_F(Win32PlatformTest, ListingGivesNamesAttributesAndSizes) {
  File(kLongName, "12345");
  File("hidden.bin", "x");
  SetFileAttributesA((dir + "\\hidden.bin").c_str(), FILE_ATTRIBUTE_HIDDEN);
  std::vector<ListingRecord> records;
  ASSERT_TRUE(NativePlatform().ListFolder(dir + "\\", "*.*", records));
  ASSERT_EQ(records.size(), 3u);
  for (const ListingRecord &r : records) {
    if (r.Name == kLongName) {
      EXPECT_EQ(r.Size, 5u);
      EXPECT_LE(r.AlternateName.size(), 12u);
      EXPECT_GT(r.LastWrite, 40000.0); // a date after 2009
    } else {
      EXPECT_EQ(r.Attr & (kAttrHidden | kAttrDirectory),
                r.Name == "sub" ? kAttrDirectory : kAttrHidden);
    }
  }
  EXPECT_FALSE(NativePlatform().ListFolder(dir + "\\missing\\", "*.*", records));
}

TEST_F(Win32PlatformTest, SmallImageFromADiskFolder) {
  File("sub\\" + kLongName, std::string(3000, 'z'));
  TKavoBurner burner;
  burner.NewCompilation(600000, 20000);
  EXPECT_EQ(burner.InsertFolder("\\", dir + "\\sub", false, false, true, 63, "*.*"), 1);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  ASSERT_TRUE(burner.WriteImage(dir + "\\out.iso", true));
  EXPECT_EQ(fs::file_size(dir + "\\out.iso"), 152u * 2048);
  EXPECT_EQ(TKavoBurner::Compilation().Dirs[0]->FirstChild->JolietIdentifier,
            u"a rather long file name.text");
  EXPECT_EQ(TKavoBurner::Compilation().TimeZoneOffset, 32);
}

} // namespace
} // namespace velmor
