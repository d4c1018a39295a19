// The Win32 side of the platform seam, run under the GBK code page and UTC+8.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "kavo_burner.h"

namespace velmor {
namespace {

const std::string kChinese = "\xD6\xD0\xCE\xC4"; // two characters in GBK
// The Wine test bed has no GBK locale for its Unix file names, so files on disk get ASCII names;
// the host's peer check covers Chinese names on disk.
const std::string kLongName = "a rather long file name.text";

class TempFolder {
public:
  TempFolder() {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    path_ = std::string(base) + "velmor-seam-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::string &f : files_)
      DeleteFileA(f.c_str());
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it)
      RemoveDirectoryA(it->c_str());
    RemoveDirectoryA(path_.c_str());
  }
  const std::string &Path() const { return path_; }
  void File(const std::string &name, const std::string &bytes, DWORD attributes = 0) {
    const std::string full = path_ + "\\" + name;
    HANDLE h = CreateFileA(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << full << " error " << GetLastError();
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    if (attributes)
      SetFileAttributesA(full.c_str(), attributes);
    files_.push_back(full);
  }
  void Folder(const std::string &name) {
    CreateDirectoryA((path_ + "\\" + name).c_str(), nullptr);
    dirs_.push_back(path_ + "\\" + name);
  }
  void Track(const std::string &full) { files_.push_back(full); }

private:
  std::string path_;
  std::vector<std::string> files_, dirs_;
};

TEST(Win32PlatformTest, CodePageAndTimeZone) {
  Platform &p = NativePlatform();
  EXPECT_EQ(GetACP(), 936u);
  EXPECT_EQ(p.AnsiToUtf16(kChinese + ".txt"), u"\u4E2D\u6587.txt");
  EXPECT_EQ(p.CharLength(0xD6), 2u);
  EXPECT_EQ(p.CharLength('a'), 1u);
  EXPECT_EQ(p.TimeZoneBiasMinutes(), -480);
  EXPECT_EQ(p.Separator(), '\\');
}

TEST(Win32PlatformTest, ListingGivesNamesAttributesAndSizes) {
  TempFolder dir;
  dir.File(kLongName, "12345");
  dir.File("hidden.bin", "x", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  dir.Folder("sub");
  std::vector<ListingRecord> records;
  ASSERT_TRUE(NativePlatform().ListFolder(dir.Path() + "\\", "*.*", records));
  std::string names;
  for (const ListingRecord &r : records)
    names += "[" + r.Name + "]";
  ASSERT_EQ(records.size(), 3u) << names << " last error " << GetLastError();
  bool sawLong = false, sawHidden = false, sawFolder = false;
  for (const ListingRecord &r : records) {
    if (r.Name == kLongName) {
      sawLong = true;
      EXPECT_LE(r.AlternateName.size(), 12u);
      EXPECT_EQ(r.Size, 5u);
      EXPECT_GT(r.LastWrite, 40000.0); // a date after 2009
    } else if (r.Name == "hidden.bin") {
      sawHidden = (r.Attr & kAttrHidden) != 0;
    } else if (r.Name == "sub") {
      sawFolder = r.IsFolder();
    }
  }
  EXPECT_TRUE(sawLong && sawHidden && sawFolder);
  EXPECT_FALSE(NativePlatform().ListFolder(dir.Path() + "\\missing\\", "*.*", records));
}

TEST(Win32PlatformTest, SmallImageFromADiskFolder) {
  TempFolder dir;
  dir.Folder("data");
  dir.File("data\\" + kLongName, std::string(3000, 'z'));
  const std::string image = dir.Path() + "\\out.iso";
  dir.Track(image);
  TKavoBurner burner;
  burner.NewCompilation(600000, 20000);
  EXPECT_EQ(burner.InsertFolder("\\", dir.Path() + "\\data", false, false, true, 63, "*.*"), 1);
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  ASSERT_TRUE(burner.WriteImage(image, true));
  WIN32_FILE_ATTRIBUTE_DATA info{};
  ASSERT_TRUE(GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &info));
  EXPECT_EQ(info.nFileSizeLow, 152u * 2048);
  TEntryNode *e = TKavoBurner::Compilation().Dirs[0]->FirstChild;
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->JolietIdentifier, u"a rather long file name.text");
  EXPECT_EQ(TKavoBurner::Compilation().TimeZoneOffset, 32);
}

} // namespace
} // namespace velmor
