// The Win32 side of the platform seam, run under the GBK code page and UTC+8.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
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
  // 한국.txt: no character of the code page.
  const std::wstring korean = std::filesystem::path(dir).wstring() + L"\\\uD55C\uAD6D.txt";
  CloseHandle(CreateFileW(korean.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  std::vector<ListingRecord> records;
  ASSERT_TRUE(NativePlatform().ListFolder(dir + "\\", "*.*", records));
  ASSERT_EQ(records.size(), 4u);
  for (const ListingRecord &r : records) {
    if (r.Name == "??.txt") {
      EXPECT_EQ(r.Refusal, LeftOutReason::kNameOutsideCodePage);
    } else if (r.Name == kLongName) {
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
  File("out.iso", std::string(400000, 'x')); // an earlier, longer file is emptied
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

// velmor-mkiso.exe replaces what is at -o only with a finished image, written beside it first:
// a build that fails while it writes leaves the earlier file and no temporary file behind.
TEST_F(Win32PlatformTest, CommandLineReplacesAnImageOnlyWithAFinishedOne) {
  File("sub\\a.txt", std::string(5000, 'a'));
  File("out.iso", "earlier");
  std::string exe = std::string("Z:") + VELMOR_MKISO;
  for (char &c : exe)
    c = c == '/' ? '\\' : c;
  auto run = [&](const std::string &args) {
    std::string command = "\"" + exe + "\" " + args;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                        &startup, &process))
      return ~0ul;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = ~0ul;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
  };
  auto contents = [&](const std::string &name) {
    std::ifstream in(dir + "\\" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto names = [&] {
    std::vector<std::string> found;
    for (const auto &e : fs::directory_iterator(dir))
      found.push_back(e.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  };
  const std::vector<std::string> before = names();
  {
    // A source that cannot be opened fails the write.
    const HANDLE locked = CreateFileA((dir + "\\sub\\a.txt").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run("-o out.iso sub"), 1u);
    CloseHandle(locked);
  }
  EXPECT_EQ(contents("out.iso"), "earlier");
  EXPECT_EQ(names(), before);
  EXPECT_EQ(run("-o sub sub"), 1u); // a folder is no place for an image
  EXPECT_TRUE(fs::is_directory(dir + "\\sub"));
  EXPECT_EQ(run("-o out.iso sub"), 0u);
  EXPECT_EQ(fs::file_size(dir + "\\out.iso"), 300u * 2048);
  EXPECT_EQ(names(), before);
  // The output named as an input, found by its file ID: refused, the input left as it was.
  EXPECT_EQ(run("-o sub\\..\\sub\\a.txt sub\\a.txt"), 1u);
  EXPECT_EQ(contents("sub\\a.txt"), std::string(5000, 'a'));
  // A name outside the code page is left out and the image written all the same.
  const std::wstring korean = fs::path(dir).wstring() + L"\\sub\\\uD55C\uAD6D.txt";
  CloseHandle(CreateFileW(korean.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  fs::remove(dir + "\\out.iso");
  EXPECT_EQ(run("-o out.iso sub"), 1u);
  EXPECT_EQ(fs::file_size(dir + "\\out.iso"), 300u * 2048);
}

} // namespace
} // namespace velmor
