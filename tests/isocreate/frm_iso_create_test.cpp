// The image-from-files window under Wine, through its real controls and messages. The sources
// are made by iso_create_wine_test.sh in the folder named by VELMOR_ISOCREATE_WORK, which also
// reads the images built here back through 7z and isoinfo.
#include "app/FrmMain.h"
#include "isocreate/FrmISOCreate.h"
#include "tests/app/fakes.h"
#include "winkit/Application.h"
#include "winkit/SystemError.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <thread>

namespace velmor {
namespace {

using testing::MemoryStore;
using testing::ScriptedDialogs;

std::string Work() {
  const char *work = std::getenv("VELMOR_ISOCREATE_WORK");
  return work ? std::string(work) + "\\" : std::string("C:\\velmor-isocreate\\");
}
const std::string kLucky = "src\\好運"; // 運 is DF 5C in GBK

bool Exists(const std::string &path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs `step` once from inside the next message loop, the window's modal loop included.
std::vector<std::function<void()>> pendingSteps;
void CALLBACK RunStep(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (pendingSteps.empty())
    return;
  auto step = std::move(pendingSteps.front());
  pendingSteps.erase(pendingSteps.begin());
  step();
}
void Later(std::function<void()> step, UINT ms = 10) {
  pendingSteps.push_back(std::move(step));
  SetTimer(nullptr, 0, ms, &RunStep);
}
// Runs `step` from inside the message loop once `ready` holds, however long that takes.
void When(std::function<bool()> ready, std::function<void()> step) {
  Later([ready, step] {
    if (ready())
      step();
    else
      When(ready, step);
  });
}

// A real drop: the shell's DROPFILES block with ANSI names, which the control frees.
void Drop(HWND control, const std::vector<std::string> &names) {
  size_t bytes = sizeof(DROPFILES) + 1;
  for (const auto &name : names)
    bytes += name.size() + 1;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
  auto *files = static_cast<DROPFILES *>(GlobalLock(memory));
  files->pFiles = sizeof(DROPFILES);
  char *at = reinterpret_cast<char *>(files) + sizeof(DROPFILES);
  for (const auto &name : names) {
    memcpy(at, name.c_str(), name.size() + 1);
    at += name.size() + 1;
  }
  GlobalUnlock(memory);
  EXPECT_EQ(SendMessageA(control, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0), 0);
}

// The write's thread of this process, found by its time-critical priority; it joins the cache
// thread before it ends.
winkit::KernelHandle WriterThread() {
  winkit::KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId())
      continue;
    winkit::KernelHandle thread(
        OpenThread(THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ThreadID));
    if (thread && GetThreadPriority(thread.get()) == THREAD_PRIORITY_TIME_CRITICAL)
      return thread;
  }
  return {};
}

// The writer thread raises its own priority once it runs, a moment after the build starts.
winkit::KernelHandle AwaitWriterThread() {
  for (int tries = 0; tries < 3000; ++tries, Sleep(10)) // up to 30 s on a busy machine
    if (winkit::KernelHandle thread = WriterThread())
      return thread;
  return {};
}

// The items are gathered and laid out on a thread of the window's own, which hands the prepared
// image back through the window's messages: they are handled until the write has started.
void AwaitGathered(TFrmISOCreate &w) {
  while (w.Gathering()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    winkit::App().ProcessMessages();
  }
}

class IsoCreateTest : public ::testing::Test {
protected:
  void SetUp() override {
    winkit::App().Initialize();
    winkit::App().ResetForTests();
    pendingSteps.clear();
  }

  // A window without the main window; finished images are collected.
  TFrmISOCreate &Open() {
    window = std::make_unique<TFrmISOCreate>(
        nullptr, [this](const std::string &path) { added.push_back(path); });
    window->Show();
    return *window;
  }

  // Builds `image` from the window's list inside its modal loop, which ends when it closes.
  void Build(TFrmISOCreate &w, const std::string &image, std::function<void()> whileBuilding = {}) {
    DeleteFileA(image.c_str());
    w.Edit_IsoFileName.SetText(" " + image + " ");
    Later([&w, whileBuilding] {
      w.btnStart.Click();
      if (whileBuilding)
        whileBuilding();
    });
    w.ShowModal();
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto &m : dialogs.messages)
      texts.push_back(m.text);
    return texts;
  }

  ScriptedDialogs dialogs;
  std::unique_ptr<TFrmISOCreate> window;
  std::vector<std::string> added;
};

TEST_F(IsoCreateTest, OpensFromTheMainWindowInItsFirstStateAndIsDestroyedWhenClosed) {
  MemoryStore store;
  TFrmMain main(store);
  bool seen = false;
  Later([&] {
    ASSERT_NE(FrmISOCreate, nullptr);
    TFrmISOCreate &w = *FrmISOCreate;
    seen = true;
    EXPECT_FALSE(IsWindowEnabled(main.Handle()));
    EXPECT_EQ(w.Text(), "部分收纳");
    EXPECT_EQ(w.ClientSize().cx, 511);
    EXPECT_EQ(w.ClientSize().cy, 360);
    EXPECT_TRUE(std::regex_match(w.Edit_Volume.Text(), std::regex("20[0-9]{6}_[0-9]{6}")))
        << w.Edit_Volume.Text();
    EXPECT_EQ(w.Edit_IsoFileName.Text(), "");
    EXPECT_EQ(w.Label_Size.Text(), "0/0Mb");
    { // the widest text of an image up to 99,999 MB fits whole
      const HWND label = w.Label_Size.Handle();
      HDC dc = GetDC(label);
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0)));
      SIZE text{};
      GetTextExtentPoint32A(dc, "99,999.00/99,999.00 MB", 22, &text);
      ReleaseDC(label, dc);
      EXPECT_LE(text.cx, w.Label_Size.ClientSize().cx);
    }
    EXPECT_EQ(w.Gauge1.Value(), 0);
    EXPECT_TRUE(w.btnStart.Enabled());
    EXPECT_FALSE(w.btnAbort.Enabled());
    EXPECT_EQ(w.ListView1.ColumnWidth(0), w.ListView1.ClientSize().cx);
    EXPECT_EQ(w.ListView1.Bounds().top, 46);
    EXPECT_EQ(w.ClientSize().cy - w.ListView1.Bounds().bottom, 157);
    EXPECT_EQ(w.ComboBoot.Selected(), 0);
    EXPECT_EQ(w.ComboBoot.Item(3), "两者");
    EXPECT_EQ(w.Hints.Text(w.ListView1.Handle()).rfind("可以直接将文件或目录拖放到此列表.", 0), 0u);
    if (const char *shot = std::getenv("VELMOR_WINDOW_SHOT")) {
      Drop(w.ListView1.Handle(), {Work() + kLucky, Work() + "src\\one.txt"});
      w.Edit_IsoFileName.SetText("C:\\映像\\新映像.iso");
      UpdateWindow(w.Handle());
      RedrawWindow(w.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      testing::SaveScreenshot(w.Handle(), shot);
    }
    PostMessageA(w.Handle(), WM_CLOSE, 0, 0);
  });
  SendMessageA(main.Handle(), WM_COMMAND, MAKEWPARAM(btnBuild, 0), 0);
  EXPECT_TRUE(seen);
  EXPECT_EQ(FrmISOCreate, nullptr);
  EXPECT_TRUE(IsWindowEnabled(main.Handle()));
}

TEST_F(IsoCreateTest, StartRefusesWhatCannotBeBuiltAndStaysIdle) {
  TFrmISOCreate &w = Open();
  const std::string existing = Work() + "existing.iso";
  std::ofstream(existing) << "old image";

  w.btnStart.Click(); // empty list
  w.AddFileItem(Work() + "src\\one.txt");
  w.Edit_IsoFileName.SetText("   ");
  w.btnStart.Click();
  EXPECT_EQ(GetFocus(), w.Edit_IsoFileName.Handle());
  w.Edit_IsoFileName.SetText(existing);
  dialogs.answer = IDNO;
  w.btnStart.Click();
  // Held open without sharing, the file cannot be deleted.
  HANDLE held = CreateFileA(existing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  dialogs.answer = IDYES;
  w.btnStart.Click();
  CloseHandle(held);

  std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 5u);
  // The system's reason, in its language, as a detail line.
  EXPECT_TRUE(testing::HasChineseDetail(texts.back(), "覆盖失败,无法创建ISO文件!")) << texts.back();
  texts.pop_back();
  EXPECT_EQ(texts, (std::vector<std::string>{"请先添加目录或文件!", "请先选择文件保存路径!",
                                             "目标文件已经存在,您要覆盖它吗?",
                                             "目标文件已经存在,您要覆盖它吗?"}));
  for (const auto &m : dialogs.messages) {
    EXPECT_EQ(m.caption, "部分收纳");
    EXPECT_EQ(m.flags, m.text.find("覆盖它吗") != std::string::npos ? 36u : 64u);
  }
  std::ifstream in(existing);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old image");
  // A click that reaches the disabled "放弃压制" anyway, as automation can send it: no build
  // runs, so nothing is said and the window stays.
  const HWND abort = w.btnAbort.Handle();
  SendMessageA(GetParent(abort), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(abort), BN_CLICKED),
               reinterpret_cast<LPARAM>(abort));
  EXPECT_EQ(dialogs.messages.size(), 5u);
  EXPECT_TRUE(IsWindowVisible(w.Handle()));
  EXPECT_FALSE(w.Building());
  for (winkit::Control *c : std::initializer_list<winkit::Control *>{
           &w.btnAddDir, &w.ListView1, &w.Edit_IsoFileName, &w.btnSaveIso, &w.btnStart})
    EXPECT_TRUE(c->Enabled());
  EXPECT_FALSE(w.btnAbort.Enabled());
}

// Run by tests/ripper/own_drives_rip_test.sh with one of our drives reading the image that
// VELMOR_BUILD_ONTO names in other letters: the build is refused before anything is asked or
// written, naming the file and the drive; the message goes to standard output.
TEST_F(IsoCreateTest, OwnDriveImageIsNotBuiltOver) {
  const char *onto = std::getenv("VELMOR_BUILD_ONTO");
  if (!onto)
    GTEST_SKIP() << "run by own_drives_rip_test.sh";
  TFrmISOCreate &w = Open();
  w.AddFileItem(onto);
  w.Edit_IsoFileName.SetText(onto);
  dialogs.answer = IDYES;
  w.btnStart.Click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  std::printf("message: %s\n", dialogs.messages[0].text.c_str());
  EXPECT_EQ(
      dialogs.messages[0].text.rfind("不能写入 " + std::string(onto) + "!\r\n它是虚拟光驱 ", 0),
      0u);
  EXPECT_FALSE(w.Building());
  EXPECT_TRUE(w.btnStart.Enabled());
}

TEST_F(IsoCreateTest, PickedAndDroppedItemsBecomeRowsAndLeaveTheList) {
  TFrmISOCreate &w = Open();
  dialogs.chosen = {Work() + "flat"};
  w.btnAddDir.Click();
  dialogs.cancel = true;
  w.btnAddDir.Click();
  w.btnAddFile.Click();
  dialogs.cancel = false;
  dialogs.chosen = {Work() + "src\\two.bin", Work() + "src\\one.txt"};
  w.btnAddFile.Click();
  EXPECT_TRUE(dialogs.lastOptions.multiSelect && dialogs.lastOptions.mustExist);

  const std::vector<std::string> dropped = {Work() + "src\\one.txt", Work() + kLucky,
                                            Work() + "src\\two.bin"};
  Drop(w.ListView1.Handle(), dropped);
  EXPECT_EQ(w.ExDragDrop1.Items(), dropped);
  Drop(w.ListView1.Handle(), {Work() + "flat"});
  EXPECT_EQ(w.ExDragDrop1.Items(), std::vector<std::string>{Work() + "flat"});

  struct Row {
    std::string caption;
    int picture;
    bool checked;
  };
  const std::vector<Row> want = {{Work() + "flat", kFolderPicture, true},
                                 {Work() + "src\\two.bin", kFilePicture, false},
                                 {Work() + "src\\one.txt", kFilePicture, false},
                                 {dropped[0], kFilePicture, false},
                                 {dropped[1], kFolderPicture, true},
                                 {dropped[2], kFilePicture, false},
                                 {Work() + "flat", kFolderPicture, true}};
  ASSERT_EQ(w.ListView1.Count(), static_cast<int>(want.size()));
  for (int row = 0; row < w.ListView1.Count(); ++row) {
    EXPECT_EQ(w.ListView1.Caption(row), want[row].caption) << row;
    EXPECT_EQ(w.ListView1.Image(row), want[row].picture) << row;
    EXPECT_EQ(w.ListView1.Checked(row), want[row].checked) << row;
  }

  w.btnDelete.Click(); // nothing selected
  EXPECT_EQ(w.ListView1.Count(), 7);
  w.ListView1.Select(1, true);
  w.ListView1.Select(2, true);
  w.ListView1.Select(6, true);
  w.btnDelete.Click();
  ASSERT_EQ(w.ListView1.Count(), 4);
  EXPECT_EQ(w.ListView1.Caption(1), dropped[0]);
  EXPECT_EQ(w.ListView1.Caption(3), dropped[2]);
  w.btnClear.Click();
  EXPECT_EQ(w.ListView1.Count(), 0);
  EXPECT_TRUE(dialogs.messages.empty());
}

// Read back by the script: the dropped files land in the root, the dropped folder keeps its
// path with every subfolder, and the folder without its check mark gives only its own files.
TEST_F(IsoCreateTest, DroppedItemsAreBuiltIntoTheImage) {
  TFrmISOCreate &w = Open();
  Drop(w.ListView1.Handle(), {Work() + "src\\one.txt", Work() + "src\\two.bin", Work() + kLucky});
  w.AddFolderItem(Work() + "flat");
  w.ListView1.SetChecked(3, false);
  w.Edit_Volume.SetText(" DROPPED ");
  Build(w, Work() + "drop.iso");
  EXPECT_EQ(Texts(), std::vector<std::string>{"压制完毕!"});
  EXPECT_EQ(added, std::vector<std::string>{Work() + "drop.iso"});
  EXPECT_FALSE(w.Showing());
}

// "打开映像" takes a bootable image made by genisoimage (the script reads the result back: its
// files, the file dropped in, its boot entry); the opened image is never written over, and a
// damaged one is named with its fault before anything is written.
TEST_F(IsoCreateTest, OpenedImageTakesADroppedFileAndIsSavedWithItsBoot) {
  const std::string opened = Work() + "bootable.iso";
  TFrmISOCreate &w = Open();
  dialogs.chosen = {Work() + "damaged.iso"};
  w.btnOpenImage.Click();
  dialogs.chosen = {opened};
  w.btnOpenImage.Click(); // takes the place of the first
  EXPECT_FALSE(dialogs.lastOptions.multiSelect);
  EXPECT_TRUE(dialogs.lastOptions.mustExist);
  Drop(w.ListView1.Handle(), {Work() + "src\\one.txt"});
  ASSERT_EQ(w.ListView1.Count(), 2);
  EXPECT_EQ(w.ListView1.Caption(0), opened);
  EXPECT_EQ(w.ListView1.Image(0), kImagePicture);
  if (const char *shot = std::getenv("VELMOR_IMPORT_SHOT")) {
    UpdateWindow(w.Handle());
    RedrawWindow(w.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    testing::SaveScreenshot(w.Handle(), shot);
  }

  w.Edit_IsoFileName.SetText(opened);
  w.btnStart.Click();
  ASSERT_EQ(Texts().size(), 1u);
  EXPECT_EQ(Texts()[0].find("不能写入 " + opened + "!\r\n它是打开的映像"), 0u) << Texts()[0];
  EXPECT_FALSE(w.Building());

  Build(w, Work() + "reopened.iso");
  EXPECT_EQ(Texts().back(), "压制完毕!");
  EXPECT_EQ(added, std::vector<std::string>{Work() + "reopened.iso"});

  dialogs.messages.clear();
  TFrmISOCreate &again = Open();
  again.OpenImageItem(Work() + "damaged.iso");
  again.AddFileItem(Work() + "src\\one.txt");
  again.Edit_IsoFileName.SetText(Work() + "never.iso");
  again.btnStart.Click();
  AwaitGathered(again);
  ASSERT_EQ(Texts().size(), 1u);
  EXPECT_EQ(Texts()[0].find("无法打开映像:\r\n" + Work() + "damaged.iso: cannot be read: "), 0u)
      << Texts()[0];
  EXPECT_FALSE(again.Building());
  EXPECT_FALSE(Exists(Work() + "never.iso"));
}

// A file of 4.4 GB (sparse, so that nothing is written for it) turns the UDF bridge on, which
// Windows needs to read it whole; a small file leaves the image as it was. The big build is
// given up as soon as it writes.
TEST_F(IsoCreateTest, FileOfFourGigabytesTurnsUdfOnByItself) {
  const std::string big = Work() + "big4g.bin";
  {
    HANDLE h = CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 4400000000LL;
    EXPECT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
  }
  for (const bool withBig : {true, false}) {
    SCOPED_TRACE(withBig);
    dialogs.messages.clear();
    TFrmISOCreate &w = Open();
    w.AddFileItem(withBig ? big : Work() + "src\\one.txt");
    bool udf = !withBig;
    Build(w, Work() + "udf.iso", [&] {
      AwaitGathered(w);
      udf = w.KavoBurner1->UdfFileSystem();
      if (withBig)
        w.btnAbort.Click();
    });
    EXPECT_EQ(udf, withBig);
    EXPECT_EQ(Texts(), std::vector<std::string>{withBig ? "用户放弃压制!" : "压制完毕!"});
  }
  DeleteFileA(big.c_str());
}

// "可引导": a choice the tree cannot meet is refused before anything is written and leaves the
// window ready; "两者" on a dropped Windows-like disc folder takes both of its boot images (the
// script reads the entries back).
TEST_F(IsoCreateTest, BootChoiceRefusesWhatTheTreeLacksAndBootsWhatItHolds) {
  TFrmISOCreate &w = Open();
  w.AddFolderItem(Work() + "src");
  w.ComboBoot.Select(2); // UEFI
  const std::string refused = Work() + "noboot.iso";
  bool ready = false;
  Build(w, refused, [&] {
    AwaitGathered(w);
    ready = !w.Building() && w.btnStart.Enabled() && w.ComboBoot.Enabled() && w.Showing();
    PostMessageA(w.Handle(), WM_CLOSE, 0, 0);
  });
  EXPECT_TRUE(ready);
  EXPECT_FALSE(Exists(refused));
  ASSERT_EQ(Texts().size(), 1u);
  EXPECT_EQ(Texts()[0].rfind("找不到UEFI引导文件", 0), 0u) << Texts()[0];

  dialogs.messages.clear();
  TFrmISOCreate &both = Open();
  Drop(both.ListView1.Handle(), {Work() + "windisc"});
  both.ComboBoot.Select(3);
  Build(both, Work() + "boot.iso");
  EXPECT_EQ(Texts(), std::vector<std::string>{"压制完毕!"});
}

TEST_F(IsoCreateTest, TinyBuildShowsItsSizeAndJoinsTheMainList) {
  MemoryStore store;
  TFrmMain main(store);
  const std::string image = Work() + "tiny.iso";
  DeleteFileA(image.c_str());
  std::int64_t max = 0;
  std::string total;
  Later([&] {
    ASSERT_NE(FrmISOCreate, nullptr);
    TFrmISOCreate &w = *FrmISOCreate;
    w.AddFileItem(Work() + "src\\one.txt");
    w.Edit_IsoFileName.SetText(image);
    w.btnStart.Click();
    AwaitGathered(w);
    max = w.Gauge1.Max();
    total = w.Label_Size.Text();
  });
  SendMessageA(main.Handle(), WM_COMMAND, MAKEWPARAM(btnBuild, 0), 0);
  EXPECT_EQ(max, 300);
  EXPECT_TRUE(std::regex_match(total, std::regex("([0-9.]+/)?0\\.59 MB"))) << total;
  EXPECT_EQ(Texts(), std::vector<std::string>{"压制完毕!"});
  ASSERT_GT(main.ListView1.Count(), 0);
  EXPECT_EQ(main.ListView1.Caption(main.ListView1.Count() - 1), image);
  EXPECT_EQ(FrmISOCreate, nullptr);
}

// Aborting, closing the window and quitting the program all end the write: the window goes at
// once, both threads end, and neither the image nor a row is left.
TEST_F(IsoCreateTest, AbortCloseAndQuitEndTheBuildAndLeaveNothing) {
  struct Case {
    const char *name;
    std::function<void(TFrmISOCreate &)> stop;
    std::vector<std::string> messages;
  };
  const std::vector<Case> cases = {
      {"abort", [](TFrmISOCreate &w) { w.btnAbort.Click(); }, {"用户放弃压制!"}},
      {"close",
       [](TFrmISOCreate &w) { PostMessageA(w.Handle(), WM_CLOSE, 0, 0); },
       {"用户放弃压制!"}},
      {"quit", [](TFrmISOCreate &) { PostQuitMessage(0); }, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    dialogs.messages.clear();
    TFrmISOCreate &w = Open();
    w.AddFileItem(Work() + "big.bin");
    const std::string image = Work() + c.name + ".iso";
    bool wasBuilding = false;
    winkit::KernelHandle writer;
    Build(w, image, [&] {
      wasBuilding = w.Building() && w.btnAbort.Enabled() && !w.btnStart.Enabled();
      AwaitGathered(w);
      writer = AwaitWriterThread();
      Later([&] { c.stop(w); }); // a 2 GB source: the write is still running
    });
    EXPECT_TRUE(wasBuilding);
    EXPECT_FALSE(w.Showing());
    MSG quit;
    PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    window.reset();
    EXPECT_EQ(Texts(), c.messages);
    EXPECT_TRUE(added.empty());
    EXPECT_FALSE(Exists(image));
    ASSERT_TRUE(writer);
    EXPECT_EQ(WaitForSingleObject(writer.get(), 0), WAIT_OBJECT_0);
  }
}

// The keyboard, through the message loop: the window opens with the focus on its first
// control, Tab walks the controls in their order (the disabled "放弃压制" left out), Esc closes
// the idle window, Enter presses "开始压制", and Esc during the build asks before it gives the
// build up by the road of "放弃压制".
TEST_F(IsoCreateTest, KeysWalkTheControlsStartTheBuildAndAskBeforeGivingItUp) {
  TFrmISOCreate &w = Open();
  const std::vector<HWND> order = {
      w.btnAddDir.Handle(),        w.btnAddFile.Handle(),   w.btnDelete.Handle(),
      w.btnClear.Handle(),         w.btnOpenImage.Handle(), w.ListView1.Handle(),
      w.Edit_IsoFileName.Handle(), w.btnSaveIso.Handle(),   w.Edit_Volume.Handle(),
      w.ComboBoot.Handle(),        w.btnStart.Handle(),     w.btnAddDir.Handle()};
  std::vector<HWND> focused;
  std::function<void()> tab = [&] {
    focused.push_back(GetFocus());
    if (focused.size() == order.size())
      return testing::PostKey(VK_ESCAPE);
    testing::PostKey(VK_TAB);
    Later(tab); // a timer fires once the keys posted before it have been handled
  };
  Later(tab);
  w.ShowModal();
  EXPECT_EQ(focused, order);
  EXPECT_FALSE(w.Showing()) << "Esc did not close the idle window";
  EXPECT_TRUE(dialogs.messages.empty());

  w.AddFileItem(Work() + "big.bin");
  const std::string image = Work() + "keys.iso";
  DeleteFileA(image.c_str());
  w.Edit_IsoFileName.SetText(image);
  bool started = false, keptAfterNo = false;
  Later([&] {
    SetFocus(w.Edit_Volume.Handle());
    testing::PostKey(VK_RETURN);
    Later([&] {
      started = w.Working();
      dialogs.answer = IDNO;
      testing::PostKey(VK_ESCAPE);
      Later([&] {
        keptAfterNo = w.Working() && w.Showing();
        dialogs.answer = IDYES;
        testing::PostKey(VK_ESCAPE);
      });
    });
  });
  w.ShowModal();
  EXPECT_TRUE(started) << "Enter did not start the build";
  EXPECT_TRUE(keptAfterNo);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"要放弃压制吗?", "要放弃压制吗?", "用户放弃压制!"}));
  EXPECT_FALSE(w.Showing());
  window.reset();
  EXPECT_FALSE(Exists(image));
}

TEST_F(IsoCreateTest, FailedBuildIsReportedAndLeavesTheWindowReadyForAnotherTry) {
  TFrmISOCreate &w = Open();
  w.AddFileItem(Work() + "src\\one.txt");
  const std::string image = Work() + "no such folder\\x.iso";
  Build(w, image, [&] { When([&] { return !dialogs.messages.empty(); }, [&] { w.Close(); }); });
  ASSERT_EQ(dialogs.messages.size(), 1u);
  // In Chinese, naming the file and what to do; the system's text for its code as a detail line.
  EXPECT_EQ(
      dialogs.messages[0].text.rfind("压制失败!\r\n无法创建映像文件\"" + image + "\".请确认", 0),
      0u)
      << ::testing::PrintToString(dialogs.messages[0].text);
  EXPECT_NE(dialogs.messages[0].text.find("\r\n详细信息: " +
                                          winkit::SystemErrorText(ERROR_PATH_NOT_FOUND)),
            std::string::npos)
      << dialogs.messages[0].text;
  EXPECT_TRUE(added.empty());
  EXPECT_FALSE(Exists(image));
  EXPECT_FALSE(w.Building());
  for (winkit::Control *c :
       std::initializer_list<winkit::Control *>{&w.btnAddDir, &w.ListView1, &w.Edit_IsoFileName,
                                                &w.btnSaveIso, &w.Edit_Volume, &w.btnStart})
    EXPECT_TRUE(c->Enabled());
  EXPECT_FALSE(w.btnAbort.Enabled());
}

// The script puts 200,000 empty files into "many", 1,000 in each of 200 folders. The window
// gathers them off its own thread: while it does, it answers a message sent from another thread
// within a second (a window that gathered on its own thread would miss by many; a tighter
// bound would measure the machine's load) and shows the count of files so far. The build then
// finishes, or, given up during the gathering, stops the gathering early and leaves no image.
TEST_F(IsoCreateTest, ALargeTreeIsGatheredWhileTheWindowAnswersAndCanBeGivenUpMeanwhile) {
  constexpr std::int64_t kFiles = 200000;
  for (const bool giveUp : {false, true}) {
    SCOPED_TRACE(giveUp ? "given up" : "built");
    dialogs.messages.clear();
    added.clear();
    TFrmISOCreate &w = Open();
    w.AddFolderItem(Work() + "many");
    const std::string image = Work() + (giveUp ? "many-abort.iso" : "many.iso");
    const HWND handle = w.Handle();
    std::atomic<bool> probing{true};
    std::atomic<int> answered{0}, late{0};
    std::thread probe([&] {
      while (probing) {
        if (w.Gathering()) {
          DWORD_PTR result = 0;
          const bool answer =
              SendMessageTimeoutA(handle, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
          if (!probing)
            break; // the test itself holds the window's thread from here on
          ++(answer ? answered : late);
        }
        Sleep(10);
      }
    });
    std::string shown;
    Build(w, image, [&] {
      When([&] { return w.FilesGathered() >= kFiles / 10 && answered > 0; },
           [&] {
             When([&] { return w.Label_Size.Text() != "0个文件"; },
                  [&] {
                    shown = w.Label_Size.Text();
                    if (!giveUp)
                      return;
                    probing = false;
                    w.btnAbort.Click();
                  });
           });
    });
    probing = false;
    probe.join();
    EXPECT_GT(answered, 0);
    EXPECT_EQ(late, 0) << "the window did not answer within a second while it gathered";
    EXPECT_TRUE(std::regex_match(shown, std::regex("[0-9]{1,3}(,[0-9]{3})*个文件"))) << shown;
    // The gathering thread hands its end to the window's thread.
    while (w.Gathering())
      winkit::App().ProcessMessages();
    if (giveUp) {
      EXPECT_LT(w.FilesGathered(), kFiles) << "the gathering went on after it was given up";
      EXPECT_EQ(Texts(), std::vector<std::string>{"用户放弃压制!"});
      window.reset();
      EXPECT_FALSE(Exists(image));
      EXPECT_TRUE(added.empty());
    } else {
      EXPECT_EQ(w.FilesGathered(), kFiles);
      EXPECT_EQ(Texts(), std::vector<std::string>{"压制完毕!"});
      EXPECT_EQ(added, std::vector<std::string>{image});
    }
  }
}

// The script puts 22 files with names of 130 bytes into "long".
TEST_F(IsoCreateTest, ItemsLeftOutAreNamedBeforeTheBuildIsAnnouncedFinished) {
  TFrmISOCreate &w = Open();
  w.AddFileItem(Work() + "src\\gone.txt");
  w.AddFileItem(Work() + "src\\one.txt");
  w.AddFileItem(Work() + "long\\one.txt"); // a second one.txt for the root
  w.AddFolderItem(Work() + "long");
  Build(w, Work() + "long.iso");
  ASSERT_EQ(dialogs.messages.size(), 2u) << dialogs.messages[0].text;
  const std::string &report = dialogs.messages[0].text;
  const std::string head = "以下24项未能收入映像:\r\n" + Work() +
                           "src\\gone.txt  (找不到该文件)\r\n" + Work() +
                           "long\\one.txt  (映像中已有同名的项)\r\n";
  EXPECT_EQ(report.substr(0, head.size()), head) << report;
  const std::string tooLong = "  (名称超过127个字符)\r\n";
  size_t listed = 0;
  for (size_t at = report.find(tooLong); at != std::string::npos; at = report.find(tooLong, at + 1))
    ++listed;
  EXPECT_EQ(listed, 18u) << report;
  const std::string tail = "……另有4项未列出.";
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail) << report;
  EXPECT_EQ(dialogs.messages[1].text, "压制完毕!");
  EXPECT_EQ(added, std::vector<std::string>{Work() + "long.iso"});
}

} // namespace
} // namespace velmor
