// The rip command and the ripper window under Wine, with CD-ROM drives backed by an ISO image
// (see cdrom_prefix.sh).
#include "app/FrmMain.h"
#include "code_page.h"
#include "ripper/Checksums.h"
#include "ripper/FrmISOBuilder.h"
#include "size_text.h"
#include "tests/app/fakes.h"
#include "utf8.h"
#include "winkit/Application.h"
#include "winkit/InputChecks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>

namespace velmor {
namespace {

using testing::MemoryStore;
using testing::ScriptedDialogs;

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Runs `step` once from inside the next message loop, the ripper's modal loop included.
std::function<void()> pendingStep;
void CALLBACK RunStep(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  auto step = std::move(pendingStep);
  pendingStep = nullptr;
  if (step)
    step();
}
void WhenModal(std::function<void()> step) {
  pendingStep = std::move(step);
  SetTimer(nullptr, 0, 10, &RunStep);
}

const std::string kOutDir = "C:\\velmor-rip\\";
const std::string kTarget = kOutDir + "光盘 副本.iso";
const std::string kSums = kOutDir + "光盘 副本.sha1";

// The finished message's lines of the image file: its name, CRC-32 and SHA-1.
std::string SumLines(const std::string &bytes, std::string *sha1) {
  Crc32 crc;
  crc.Add(bytes.data(), bytes.size());
  Sha1 sha;
  sha.Add(bytes.data(), bytes.size());
  *sha1 = sha.Hex();
  return "\r\n光盘 副本.iso\r\n  CRC32: " + crc.Hex() + "  SHA-1: " + *sha1;
}

class RipTest : public ::testing::Test {
protected:
  void SetUp() override {
    winkit::App().Initialize();
    winkit::App().ResetForTests();
    store.stored = {"C:\\a.iso"};
    store.exists = true;
    DeleteFileA(kTarget.c_str());
    DeleteFileA(kSums.c_str());
  }

  void OpenMain() { main = std::make_unique<TFrmMain>(store); }
  void Rip() { SendMessageA(main->Handle(), WM_COMMAND, MAKEWPARAM(btnRip, 0), 0); }

  // A ripper opened on D: without the main window; finished images are collected.
  void OpenRipper() {
    ripper = std::make_unique<TFrmISOBuilder>(
        nullptr, [this](const std::string &path) { added.push_back(path); });
    ripper->ComboBox1.Add("D:");
    ripper->ComboBox1.Select(0);
  }

  std::string Disc() const {
    const char *disc = std::getenv("VELMOR_RIP_DISC");
    return disc ? ReadAll(disc) : std::string();
  }

  MemoryStore store;
  ScriptedDialogs dialogs;
  std::unique_ptr<TFrmMain> main;
  std::unique_ptr<TFrmISOBuilder> ripper;
  std::vector<std::string> added;
};

TEST_F(RipTest, NoCdromDriveGivesTheMessageAndNoWindow) {
  OpenMain();
  WhenModal([] {
    if (FrmISOBuilder)
      FrmISOBuilder->Close();
  });
  Rip();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "您的电脑没有发现光驱!无法使用压制功能!");
  EXPECT_EQ(dialogs.messages[0].caption, main->Text());
  EXPECT_EQ(dialogs.messages[0].flags, 64u);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  EXPECT_FALSE(GetClassInfoExA(GetModuleHandleA(nullptr), "TFrmISOBuilder", &wc))
      << "a ripper window was created";
}

TEST_F(RipTest, ListsEveryCdromDriveInItsInitialStateAndDiscardsTyping) {
  OpenMain();
  bool seen = false;
  WhenModal([&] {
    ASSERT_NE(FrmISOBuilder, nullptr);
    TFrmISOBuilder &r = *FrmISOBuilder;
    seen = true;
    EXPECT_TRUE(r.Visible());
    EXPECT_FALSE(IsWindowEnabled(main->Handle()));
    EXPECT_EQ(r.Text(), "压制");
    EXPECT_EQ(r.ClientSize().cx, 401);
    EXPECT_EQ(r.ClientSize().cy, 185);
    ASSERT_EQ(r.ComboBox1.Count(), 2);
    EXPECT_EQ(r.ComboBox1.Item(0), "D:");
    EXPECT_EQ(r.ComboBox1.Item(1), "F:");
    EXPECT_EQ(r.ComboBox1.Selected(), 0);
    SendMessageA(r.ComboBox1.Handle(), WM_CHAR, 'F', 0);
    EXPECT_EQ(r.ComboBox1.Text(), "D:") << "a typed key reached the drive box";
    EXPECT_TRUE(r.CheckBoxCRC.Visible());
    EXPECT_FALSE(r.CheckBoxCRC.Checked());
    EXPECT_EQ(r.CheckBoxCRC.Text(), "忽略坏扇区");
    EXPECT_FALSE(r.CheckBoxVerify.Checked());
    EXPECT_EQ(r.CheckBoxVerify.Text(), "校验");
    EXPECT_EQ(r.Edit_IsoFileName.Text(), "");
    EXPECT_EQ(r.Label_Size.Text(), "0/0Mb");
    EXPECT_EQ(r.Gauge1.Value(), 0);
    EXPECT_TRUE(r.btnStart.Enabled());
    EXPECT_FALSE(r.btnAbort.Enabled());
    if (const char *shot = std::getenv("VELMOR_WINDOW_SHOT")) {
      r.Edit_IsoFileName.SetText("C:\\映像\\光盘.iso");
      RedrawWindow(r.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      testing::SaveScreenshot(r.Handle(), shot);
    }
    PostMessageA(r.Handle(), WM_CLOSE, 0, 0);
  });
  Rip();
  EXPECT_TRUE(seen);
  EXPECT_EQ(FrmISOBuilder, nullptr) << "the ripper is destroyed when it closes";
  EXPECT_TRUE(IsWindowEnabled(main->Handle()));
}

TEST_F(RipTest, CopyEqualsTheDiscAndJoinsTheListAsItsLastRow) {
  const std::string disc = Disc();
  ASSERT_GT(disc.size(), 5u * 1048576) << "VELMOR_RIP_DISC";
  OpenMain();
  WhenModal([&] {
    ASSERT_NE(FrmISOBuilder, nullptr);
    FrmISOBuilder->Edit_IsoFileName.SetText("  " + kTarget + " ");
    FrmISOBuilder->btnStart.Click(); // the copy runs to its end inside the click
  });
  Rip();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  std::string sha1;
  EXPECT_EQ(dialogs.messages[0].text, "压制完毕!" + SumLines(disc, &sha1));
  EXPECT_EQ(ReadAll(kSums), sha1 + u8"  光盘 副本.iso\n") << "in sha1sum -c form: UTF-8";
  EXPECT_EQ(dialogs.messages[0].caption, "压制");
  EXPECT_EQ(dialogs.messages[0].flags, 64u);
  ASSERT_EQ(main->ListView1.Count(), 2);
  EXPECT_EQ(main->ListView1.Caption(1), kTarget);
  EXPECT_TRUE(ReadAll(kTarget) == disc) << "the image differs from the disc";
}

// Every file the rip would replace is named in one question.
TEST_F(RipTest, OverwriteAsksOnceAndNoLeavesTheFilesAlone) {
  const std::string disc = Disc();
  WriteAll(kTarget, "old image");
  WriteAll(kSums, "old sums");
  OpenRipper();
  ripper->Edit_IsoFileName.SetText(kTarget);
  dialogs.answer = IDNO;
  ripper->btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text,
            "以下2个文件已经存在,您要覆盖它们吗?\r\n" + kTarget + "\r\n" + kSums);
  EXPECT_EQ(dialogs.messages[0].flags, 36u);
  EXPECT_EQ(ReadAll(kTarget), "old image");
  EXPECT_EQ(ReadAll(kSums), "old sums");
  EXPECT_TRUE(ripper->btnStart.Enabled());

  dialogs.answer = IDYES;
  ripper->CheckBoxVerify.SetChecked(true);
  ripper->btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 3u);
  std::string sha1;
  EXPECT_EQ(dialogs.messages[2].text, "压制完毕!" + SumLines(disc, &sha1) + "\r\n校验通过.");
  EXPECT_TRUE(ReadAll(kTarget) == disc);
  EXPECT_EQ(ReadAll(kSums), sha1 + u8"  光盘 副本.iso\n");
  EXPECT_EQ(added, std::vector<std::string>{kTarget});
  const std::string megabytes = FormatMegabytes(static_cast<std::int64_t>(disc.size()));
  EXPECT_EQ(ripper->Label_Size.Text(), megabytes + "/" + megabytes + " MB");
  EXPECT_EQ(ripper->Gauge1.Percent(), 100);
}

void CALLBACK AbortRip(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (FrmISOBuilder)
    FrmISOBuilder->btnAbortClick();
}

// The names of the files in the folder of the rips.
std::set<std::string> FilesInOutput() {
  std::set<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE h = FindFirstFileA((kOutDir + "*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE)
    return names;
  do
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      names.insert(found.cFileName);
  while (FindNextFileA(h, &found));
  FindClose(h);
  return names;
}

// Files the user agreed to replace are replaced only by a finished rip: one given up after the
// first block leaves them, and nothing else, behind.
TEST_F(RipTest, AGivenUpRipKeepsTheFilesItWasToReplace) {
  WriteAll(kTarget, "old image");
  WriteAll(kSums, "old sums");
  const std::set<std::string> before = FilesInOutput();
  OpenRipper();
  ripper->Edit_IsoFileName.SetText(kTarget);
  dialogs.answer = IDYES;
  SetTimer(nullptr, 0, 1, &AbortRip);
  ripper->btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text, "用户放弃压制!");
  EXPECT_EQ(ReadAll(kTarget), "old image");
  EXPECT_EQ(ReadAll(kSums), "old sums");
  EXPECT_EQ(FilesInOutput(), before);
  EXPECT_TRUE(added.empty());
}

// The images our drives read, as a test gives them: one file, as drive K: names it.
class OneServedImage final : public ServedImages {
public:
  explicit OneServedImage(const std::string &path) {
    image.letter = 'K';
    image.path = path;
    SystemServedImages().Identify(path, image.id);
  }
  std::vector<ServedImage> List() override { return {image}; }
  bool Identify(const std::string &path, FileId &id) override {
    return SystemServedImages().Identify(path, id);
  }
  ServedImage image;
};

// An image a drive reads is refused by what the file is, not by its name: a hard link to it is
// that image too. Nothing is asked or written.
TEST_F(RipTest, ATargetADriveReadsIsRefusedByIdentity) {
  const std::string served = kOutDir + "served.iso", link = kOutDir + "LINKED.ISO";
  WriteAll(served, "served image");
  DeleteFileA(link.c_str());
  ASSERT_TRUE(CreateHardLinkA(link.c_str(), served.c_str(), nullptr));
  OneServedImage images(served);
  TFrmISOBuilder window(
      nullptr, [this](const std::string &path) { added.push_back(path); }, images);
  window.ComboBox1.Add("D:");
  window.ComboBox1.Select(0);
  window.Edit_IsoFileName.SetText(kOutDir + "linked.iso");
  dialogs.answer = IDYES;
  window.btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "不能写入 " + kOutDir + "linked.iso!\r\n它是虚拟光驱 K: " +
                                          "正在读取的映像文件 " + served + ", 请另选保存路径.");
  EXPECT_EQ(ReadAll(served), "served image");
  // The sums' file is one of the rip's files too.
  DeleteFileA(link.c_str());
  ASSERT_TRUE(CreateHardLinkA((kOutDir + "other.sha1").c_str(), served.c_str(), nullptr));
  window.Edit_IsoFileName.SetText(kOutDir + "other.iso");
  window.btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text.rfind("不能写入 " + kOutDir + "other.sha1!", 0), 0u)
      << dialogs.messages[1].text;
  EXPECT_EQ(ReadAll(served), "served image");
  EXPECT_FALSE(winkit::FileExists(kOutDir + "other.iso"));
  DeleteFileA((kOutDir + "other.sha1").c_str());
  DeleteFileA(served.c_str());
  EXPECT_TRUE(added.empty());
}

// The image file behind the drive, changed once the ripper shows that it verifies: sector 300
// of VELMOR_RIP_CHANGE gets other bytes.
const char *changeDuringVerify = nullptr;
// The source changes once the copy has read its last block (its final progress shows the whole
// disc and lets messages through) and before the verify reads it again: at the first of the
// two moments this timer sees.
void CALLBACK ChangeWhenVerifying(HWND, UINT, UINT_PTR id, DWORD) {
  if (!FrmISOBuilder)
    return;
  const bool copied = FrmISOBuilder->Gauge1.Max() > 0 &&
                      FrmISOBuilder->Gauge1.Value() >= FrmISOBuilder->Gauge1.Max();
  if (!copied && FrmISOBuilder->LabelProgress.Text() != "校验进度")
    return;
  KillTimer(nullptr, id);
  std::fstream file(changeDuringVerify, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(300 * 2352);
  file << std::string(2352, '\x55');
}

// Run by own_drives_rip_test.sh with one of our drives mounted: VELMOR_RIP_DRIVE is listed
// although the system does not report it as a CD-ROM drive, and is ripped into
// VELMOR_RIP_TARGET (verified when VELMOR_RIP_VERIFY is set, the source changed between copy
// and verify when VELMOR_RIP_CHANGE is). A question is answered "no" when VELMOR_RIP_ANSWER is
// "no". The first message, which starts with VELMOR_RIP_EXPECT (default "压制完毕!"), and the path
// that joined the list go to standard output for the script.
TEST_F(RipTest, OwnDriveRipsThroughTheWindow) {
  const char *drive = std::getenv("VELMOR_RIP_DRIVE");
  const char *target = std::getenv("VELMOR_RIP_TARGET");
  if (!drive || !target)
    GTEST_SKIP() << "run by own_drives_rip_test.sh";
  const char *answer = std::getenv("VELMOR_RIP_ANSWER");
  dialogs.answer = answer && std::string(answer) == "no" ? IDNO : IDYES;
  const char *expect = std::getenv("VELMOR_RIP_EXPECT");
  const std::string expected = expect ? expect : "压制完毕!";
  OpenMain();
  WhenModal([&] {
    ASSERT_NE(FrmISOBuilder, nullptr);
    TFrmISOBuilder &r = *FrmISOBuilder;
    int at = -1;
    for (int i = 0; i < r.ComboBox1.Count(); ++i)
      if (r.ComboBox1.Item(i) == drive)
        at = i;
    EXPECT_GE(at, 0) << drive << " is not listed";
    r.ComboBox1.Select(at);
    r.CheckBoxVerify.SetChecked(std::getenv("VELMOR_RIP_VERIFY") != nullptr);
    r.Edit_IsoFileName.SetText(target);
    changeDuringVerify = std::getenv("VELMOR_RIP_CHANGE");
    if (changeDuringVerify)
      SetTimer(nullptr, 0, 1, &ChangeWhenVerifying);
    r.btnStart.Click();
    if (FrmISOBuilder) // a failed rip leaves the window open for another try
      PostMessageA(r.Handle(), WM_CLOSE, 0, 0);
  });
  Rip();
  ASSERT_GE(dialogs.messages.size(), 1u);
  std::printf("message: %s\nlisted: %s\n", dialogs.messages[0].text.c_str(),
              main->ListView1.Count() > 1 ? main->ListView1.Caption(1).c_str() : "");
  EXPECT_EQ(dialogs.messages[0].text.rfind(expected, 0), 0u) << dialogs.messages[0].text;
  if (changeDuringVerify) {
    EXPECT_NE(
        dialogs.messages[0].text.find("\r\n校验失败: 共有1个扇区与映像不同, 第一个是第300扇区."),
        std::string::npos)
        << dialogs.messages[0].text;
  }
}

// A blank path is refused; an image that cannot be created says why in the system's words.
TEST_F(RipTest, BlankPathIsEmptyAndAnUncreatableImageSaysWhy) {
  OpenRipper();
  ripper->Show();
  ripper->Edit_IsoFileName.SetText("   ");
  ripper->btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "请先选择文件保存路径!");
  EXPECT_EQ(GetFocus(), ripper->Edit_IsoFileName.Handle());
  ripper->Edit_IsoFileName.SetText("C:\\no such folder\\x.iso");
  ripper->btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_TRUE(testing::HasChineseDetail(dialogs.messages[1].text, "无法创建ISO文件!"))
      << dialogs.messages[1].text;
  EXPECT_TRUE(ripper->btnStart.Enabled());
  EXPECT_TRUE(added.empty());
}

} // namespace
} // namespace velmor
