#include "../drive/fake_drive_system.h"
#include "app/FrmMain.h"
#include "app/ProductInfo.h"
#include "fakes.h"
#include "server_channel.h"
#include "velmor_build_identity.h"
#include "velmor_server_identity.h"
#include "winkit/Application.h"
#include "winkit/SystemError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <shellapi.h>

namespace velmor {
namespace {

using testing::MemoryStore;
using testing::ScriptedDialogs;
using Rows = std::vector<std::string>;

class FrmMainTest : public ::testing::Test {
protected:
  void SetUp() override {
    winkit::App().Initialize();
    winkit::App().ResetForTests();
    store.stored = {"C:\\a.iso", "", "D:\\光盘.iso", "C:\\a.iso"};
    store.exists = true;
  }
  void TearDown() override { form.reset(); }

  void Open() { form = std::make_unique<TFrmMain>(store); }

  Rows ListRows() const {
    Rows rows;
    for (int i = 0; i < form->ListView1.Count(); ++i)
      rows.push_back(form->ListView1.Caption(i));
    return rows;
  }

  void Command(int id) { SendMessageA(form->Handle(), WM_COMMAND, MAKEWPARAM(id, 0), 0); }

  // Clicks a toolbar button the way the mouse does, so the bar's own wiring is exercised.
  void ClickToolButton(int command) {
    const HWND bar = form->ToolBar1.Handle();
    const int index = static_cast<int>(SendMessageA(bar, TB_COMMANDTOINDEX, command, 0));
    ASSERT_GE(index, 0);
    const RECT rc = form->ToolBar1.ButtonRect(index);
    const LPARAM at = MAKELPARAM((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
    SendMessageA(bar, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(bar, WM_LBUTTONUP, 0, at);
  }

  // Runs the message loop until the application is told to terminate; false on timeout.
  bool RunUntilTerminated() {
    timedOut = false;
    const UINT_PTR timer = SetTimer(nullptr, 0, 5000, &OnTimeout);
    winkit::App().Run();
    KillTimer(nullptr, timer);
    return !timedOut;
  }

  static void CALLBACK OnTimeout(HWND, UINT, UINT_PTR, DWORD) {
    timedOut = true;
    PostQuitMessage(0);
  }
  static inline bool timedOut = false;

  MemoryStore store;
  ScriptedDialogs dialogs;
  std::unique_ptr<TFrmMain> form;
};

TEST_F(FrmMainTest, CreationSetsCaptionAndLoadsTheListInOrder) {
  Open();
  const std::string caption = form->Text();
  EXPECT_EQ(caption.rfind("Velmor", 0), 0u);
  EXPECT_NE(caption.find("V1.0."), std::string::npos);
  EXPECT_EQ(winkit::App().Title(), caption);
  EXPECT_EQ(ListRows(), store.stored);
  EXPECT_EQ(FrmMain, form.get());
  EXPECT_EQ(form->DriveTree.Text(form->DriveTree.FirstRoot()), kProductTitle);
  EXPECT_EQ(store.saves, 0);
}

TEST_F(FrmMainTest, MissingStoreStartsEmpty) {
  store.stored.clear();
  store.exists = false;
  Open();
  EXPECT_EQ(form->ListView1.Count(), 0);
}

// Every way out saves the list exactly once, after the message loop has ended.
class FrmMainExitTest : public FrmMainTest, public ::testing::WithParamInterface<int> {};

TEST_P(FrmMainExitTest, SavesTheListOnce) {
  Open();
  form->AddImageToList("E:\\new.iso");
  switch (GetParam()) {
  case 0: // caption button
    SendMessageA(form->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    break;
  case 1:
    ClickToolButton(btnExit);
    break;
  case 2: { // 文件 → 退出, the menu's last item
    HMENU file = GetSubMenu(GetMenu(form->Handle()), 0);
    const int last = GetMenuItemCount(file) - 1;
    char text[64] = {};
    GetMenuStringA(file, last, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "退出[&E]\tCtrl+Q");
    Command(GetMenuItemID(file, last));
    break;
  }
  }
  ASSERT_TRUE(RunUntilTerminated());
  EXPECT_EQ(store.saves, 0) << "nothing is written before the window is destroyed";
  form.reset();
  EXPECT_EQ(store.saves, 1);
  Rows expected = {"C:\\a.iso", "", "D:\\光盘.iso", "C:\\a.iso", "E:\\new.iso"};
  EXPECT_EQ(store.stored, expected);
}

INSTANTIATE_TEST_SUITE_P(CaptionButtonToolbarAndMenu, FrmMainExitTest, ::testing::Values(0, 1, 2));

TEST_F(FrmMainTest, EmptiedListIsSavedEmpty) {
  Open();
  Command(mnuC1);
  EXPECT_EQ(form->ListView1.Count(), 0);
  form.reset();
  EXPECT_EQ(store.saves, 1);
  EXPECT_TRUE(store.stored.empty());
}

TEST_F(FrmMainTest, DeleteRemovesExactlyTheSelectedRows) {
  store.stored = {"1", "2", "3", "4", "5"};
  Open();
  Command(btnDel); // nothing selected: nothing happens
  EXPECT_EQ(ListRows(), (Rows{"1", "2", "3", "4", "5"}));

  form->ListView1.Select(0, true);
  form->ListView1.Select(2, true);
  ClickToolButton(btnDel);
  EXPECT_EQ(ListRows(), (Rows{"2", "4", "5"}));

  for (int i = 0; i < 3; ++i)
    form->ListView1.Select(i, true);
  Command(mnuListDel);
  EXPECT_EQ(form->ListView1.Count(), 0);
}

TEST_F(FrmMainTest, AddAppendsChosenFilesInDialogOrder) {
  Open();
  dialogs.chosen = {"F:\\z.iso", "F:\\a.iso", "C:\\a.iso"};
  ClickToolButton(btnAdd);
  // Every format the drive mounts, then any file (a VELMOR format image has no fixed name).
  EXPECT_EQ(dialogs.lastOptions.filter,
            "光盘映像 (*.iso;*.cue;*.nrg;*.mds;*.ccd;*.img;*.bin)|"
            "*.iso;*.cue;*.nrg;*.mds;*.ccd;*.img;*.bin|所有文件 (*.*)|*.*");
  EXPECT_TRUE(dialogs.lastOptions.multiSelect);
  EXPECT_TRUE(dialogs.lastOptions.mustExist);
  Rows expected = store.stored;
  expected.insert(expected.end(), dialogs.chosen.begin(), dialogs.chosen.end());
  EXPECT_EQ(ListRows(), expected);

  dialogs.cancel = true;
  Command(mnuListAdd);
  EXPECT_EQ(dialogs.opened, 2);
  EXPECT_EQ(ListRows(), expected);
}

TEST_F(FrmMainTest, HelpAndHomeOnlyShowTheirText) {
  Open();
  const std::string caption = form->Text();
  ClickToolButton(btnHelp);
  ClickToolButton(btnHome);
  EXPECT_EQ(ListRows(), store.stored);
  EXPECT_EQ(dialogs.opened, 0);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_NE(dialogs.messages[0].text.find("Ctrl+I"), std::string::npos);
  EXPECT_EQ(dialogs.messages[1].text.rfind(kProductTitle, 0), 0u);
  EXPECT_FALSE(winkit::App().Terminated());
  EXPECT_EQ(form->Text(), caption);
}

TEST_F(FrmMainTest, ColumnFillsTheListAtEverySize) {
  Open();
  for (int i = 0; i < 60; ++i) // enough rows for a vertical scroll bar
    form->AddImageToList("C:\\row.iso");
  for (int width : {900, 300, 120, 640}) {
    SetWindowPos(form->Handle(), nullptr, 0, 0, width, 400, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(form->ListView1.ColumnWidth(0), form->ListView1.ClientSize().cx) << width;
    const RECT list = form->ListView1.Bounds();
    EXPECT_EQ(list.right, form->ClientSize().cx) << width;
  }
}

TEST_F(FrmMainTest, LayoutFromTopToBottom) {
  Open();
  EXPECT_EQ(form->ClientSize().cx, 610);
  EXPECT_EQ(form->ClientSize().cy, 401);
  const RECT bar = form->ToolBar1.Bounds(), tree = form->DriveTree.Bounds(),
             list = form->ListView1.Bounds(), status = form->StatusBar1.Bounds();
  EXPECT_EQ(bar.bottom - bar.top, 53);
  EXPECT_EQ(tree.top, 53 + 14);
  EXPECT_EQ(tree.right - tree.left, 184);
  EXPECT_GT(list.left, tree.right);
  EXPECT_EQ(status.bottom - status.top, 21);
  EXPECT_EQ(status.bottom, 401);
  EXPECT_EQ(list.bottom, status.top);
  EXPECT_FALSE(form->Animate1.Visible());
}

TEST_F(FrmMainTest, ToolbarOrderGapsSizesAndHints) {
  Open();
  const int none = -1;
  const int expected[] = {none,   btnInject, btnEject, btnRefresh, none,    btnRip, btnBuild,
                          btnAdd, btnDel,    none,     btnHelp,    btnHome, btnExit};
  const char *captions[] = {"插入", "弹出", "刷新", "压制", "部分收纳",
                            "加入", "删除", "帮助", "主页", "退出"};
  ASSERT_EQ(form->ToolBar1.ButtonCount(), 13);
  int captionIndex = 0;
  for (int i = 0; i < 13; ++i) {
    const TBBUTTON b = form->ToolBar1.Button(i);
    const RECT rc = form->ToolBar1.ButtonRect(i);
    if (expected[i] == none) {
      EXPECT_TRUE(b.fsStyle & BTNS_SEP) << i;
      EXPECT_EQ(rc.right - rc.left, 8) << i;
      continue;
    }
    EXPECT_EQ(b.idCommand, expected[i]) << i;
    EXPECT_EQ(rc.right - rc.left, 56) << i;
    EXPECT_EQ(rc.bottom - rc.top, 51) << i;
    char text[64] = {};
    SendMessageA(form->ToolBar1.Handle(), TB_GETBUTTONTEXTA, b.idCommand,
                 reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, captions[captionIndex++]) << i;
  }
  // The bar answers the tooltip's request through the window's notifications.
  NMTTDISPINFOA info{};
  info.hdr.hwndFrom = form->ToolBar1.Handle();
  info.hdr.idFrom = btnDel;
  info.hdr.code = TTN_GETDISPINFOA;
  SendMessageA(form->Handle(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
  ASSERT_NE(info.lpszText, nullptr);
  EXPECT_STREQ(info.lpszText, "从列表中删除ISO文件.");
  EXPECT_EQ(form->Hints.Text(form->ListView1.Handle()),
            "双击ISO文件插入虚拟光驱\r\n其它功能请选择鼠标右键.");
}

TEST_F(FrmMainTest, HandCursorOverButtonsOnly) {
  Open();
  const HWND bar = form->ToolBar1.Handle();
  auto cursorAt = [&](int index) {
    const RECT rc = form->ToolBar1.ButtonRect(index);
    POINT pt{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    ClientToScreen(bar, &pt);
    // The pointer is shared with the other programs on the display: retry until it stayed put.
    HCURSOR shown = nullptr;
    for (int attempt = 0; attempt < 50; ++attempt) {
      SetCursorPos(pt.x, pt.y);
      SetCursor(LoadCursorA(nullptr, IDC_ARROW));
      POINT before{}, after{};
      GetCursorPos(&before);
      SendMessageA(bar, WM_SETCURSOR, reinterpret_cast<WPARAM>(bar),
                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
      shown = GetCursor();
      GetCursorPos(&after);
      if (before.x == pt.x && before.y == pt.y && after.x == pt.x && after.y == pt.y)
        break;
      Sleep(20);
    }
    return shown;
  };
  EXPECT_EQ(cursorAt(1), LoadCursorA(nullptr, IDC_HAND)); // "插入"
  EXPECT_NE(cursorAt(0), LoadCursorA(nullptr, IDC_HAND)); // the gap before it
}

TEST_F(FrmMainTest, ErrorsReachTheDefaultReportAndTheWindowStaysUsable) {
  store.loadError = "cannot read the list";
  Open();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "cannot read the list");
  EXPECT_EQ(dialogs.messages[0].caption, form->Text());
  EXPECT_EQ(form->ListView1.Count(), 0);

  // An exception escaping a command's handler is reported the same way.
  dialogs.openError = "dialog failed";
  ClickToolButton(btnAdd);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text, "dialog failed");

  dialogs.openError = nullptr;
  dialogs.chosen = {"C:\\ok.iso"};
  Command(btnAdd);
  EXPECT_EQ(ListRows(), Rows{"C:\\ok.iso"});

  // The list that could not be read is not overwritten at exit.
  form.reset();
  EXPECT_EQ(store.saves, 0);
  EXPECT_EQ(dialogs.messages.size(), 2u);

  // A failed save at exit is reported too.
  store.loadError = nullptr;
  store.saveError = "disk full";
  Open();
  form.reset();
  ASSERT_EQ(dialogs.messages.size(), 3u);
  EXPECT_EQ(dialogs.messages[2].text, "disk full");
}

// The real list file beside a window, under the system's code page.
class FrmMainListFileTest : public FrmMainTest {
protected:
  void SetUp() override {
    FrmMainTest::SetUp();
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    folder = std::string(temp) + "velmor_list_file_test\\";
    RemoveFolder(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    path = folder + "IsoFile.ini";
  }
  void TearDown() override {
    FrmMainTest::TearDown();
    RemoveFolder(folder);
  }
  static void RemoveFolder(const std::string &f) {
    std::string from = f + '\0'; // the shell takes a list ending in two NULs
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationA(&op);
  }
  static std::string Read(const std::string &file) {
    std::string bytes;
    if (FILE *f = std::fopen(file.c_str(), "rb")) {
      char buf[512];
      std::size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
      std::fclose(f);
    }
    return bytes;
  }
  static void Write(const std::string &file, const std::string &bytes) {
    FILE *f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  std::string folder, path;
};

// Two copies of the program on one list: the second adds a row and quits, the first removes
// one and quits; both changes are in the file.
TEST_F(FrmMainListFileTest, TwoCopiesKeepEachOthersRows) {
  Write(path, "C:\\a.iso\r\nC:\\b.iso\r\n");
  ImageListStore firstStore(path), secondStore(path);
  auto first = std::make_unique<TFrmMain>(firstStore);
  form = std::make_unique<TFrmMain>(secondStore);
  dialogs.chosen = {"C:\\c.iso"};
  ClickToolButton(btnAdd);
  form.reset();
  EXPECT_EQ(Read(path), "C:\\a.iso\r\nC:\\b.iso\r\nC:\\c.iso\r\n");
  form = std::move(first);
  form->ListView1.Select(0, true);
  ClickToolButton(btnDel);
  form.reset();
  EXPECT_EQ(Read(path), "C:\\b.iso\r\nC:\\c.iso\r\n");
}

// What the window shows of a list file, and what it leaves after a run that adds one row.
struct ListFileRun {
  const char *name;
  std::string before; // empty: a folder stands at the list's path
  Rows shown;
  std::string after;
  const char *beside; // name suffix of the earlier file kept, if any
};

void PrintTo(const ListFileRun &r, std::ostream *os) { *os << r.name; }

class FrmMainListFileRunTest : public FrmMainListFileTest,
                               public ::testing::WithParamInterface<ListFileRun> {};

TEST_P(FrmMainListFileRunTest, NothingIsLost) {
  const ListFileRun &r = GetParam();
  if (r.before.empty())
    CreateDirectoryA(path.c_str(), nullptr);
  else
    Write(path, r.before);
  if (r.beside)
    Write(path + r.beside, "earlier");
  ImageListStore store(path);
  form = std::make_unique<TFrmMain>(store);
  EXPECT_EQ(ListRows(), r.shown);
  if (r.before.empty()) { // the message says where the unreadable file went
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages[0].text.find(path + ".unreadable.2"), std::string::npos);
  } else {
    EXPECT_TRUE(dialogs.messages.empty());
  }
  dialogs.chosen = {"C:\\new.iso"};
  ClickToolButton(btnAdd);
  form.reset();
  EXPECT_EQ(Read(path), r.after + "C:\\new.iso\r\n");
  if (r.beside) {
    EXPECT_EQ(Read(path + r.beside), "earlier");
    const std::string kept = path + r.beside + ".2";
    if (r.before.empty()) {
      EXPECT_EQ(GetFileAttributesA(kept.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    } else {
      EXPECT_EQ(Read(kept), r.before);
    }
  }
}

const ListFileRun kListFileRuns[] = {
    // Pairs that are no GBK character and a lone lead byte: the control shows something else.
    {"BytesTheControlCannotShow",
     "\x81\x20\r\nFE\xFE\x7F\r\nend\x81\r\n",
     {"?", "FE?", "end?"},
     "\x81\x20\r\nFE\xFE\x7F\r\nend\x81\r\n",
     nullptr},
    {"NotepadUnicode",
     std::string("\xFF\xFE"
                 "D\0:\0\\\0\x49\x51\xD8\x76.\0i\0s\0o\0\r\0\n\0",
                 24),
     {"D:\\光盘.iso"},
     "D:\\光盘.iso\r\n",
     ".original"},
    {"Utf8WithByteOrderMark",
     "\xEF\xBB\xBF"
     "E:\\\xE5\x85\x89\xE7\x9B\x98.iso\r\n",
     {"E:\\光盘.iso"},
     "E:\\光盘.iso\r\n",
     ".original"},
    {"Unreadable", "", {}, "", ".unreadable"},
};

INSTANTIATE_TEST_SUITE_P(ListFile, FrmMainListFileRunTest, ::testing::ValuesIn(kListFileRuns),
                         [](const auto &info) { return std::string(info.param.name); });

// The panel over a drive system that the test describes: labels are read only from CD-ROM
// drives, and a control device that cannot be had is reported without a clip.
TEST_F(FrmMainTest, DrivePanelLabelsAndRefusedInsert) {
  Open();
  testing::FakeDriveSystem drives;
  drives.values = {{"G", "C:\\g.iso"}, {"", "C:\\x.iso"}, {"H", "C:\\h.img"}};
  drives.driveTypes = {{'G', kDriveCdrom}, {'H', 3}};
  drives.labels = {{'G', "MYDISC"}, {'H', "DATA"}};
  drives.dosDevices = {{'G', "\\Device\\VELMOR106"}, {'H', "\\Device\\VELMOR107"}};
  form->SetDriveSystem(drives);
  auto tree = [&] {
    Rows nodes;
    for (HTREEITEM r = form->DriveTree.FirstRoot(); r; r = form->DriveTree.NextSibling(r)) {
      nodes.push_back(form->DriveTree.Text(r));
      for (HTREEITEM c = form->DriveTree.FirstChild(r); c; c = form->DriveTree.NextSibling(c))
        nodes.push_back("  " + form->DriveTree.Text(c));
    }
    return nodes;
  };
  const Rows expected = {kProductTitle, "  G:(MYDISC)", "  H:()"};
  ClickToolButton(btnRefresh);
  EXPECT_EQ(tree(), expected);
  ClickToolButton(btnRefresh);
  EXPECT_EQ(tree(), expected);

  Command(btnInject); // nothing selected: the driver is not even looked for
  EXPECT_TRUE(drives.log.empty());
  form->DriveTree.Select(form->DriveTree.FirstRoot());
  Command(btnEject); // the root is no drive
  Command(mnuO1);
  EXPECT_TRUE(drives.log.empty());

  // The smallest image with a volume: 18 sectors, "CD001" in the descriptor at sector 16.
  std::vector<uint8_t> iso(18 * 2048);
  std::copy_n("\1CD001", 6, iso.begin() + 16 * 2048);
  drives.files["D:\\光盘.iso"] = iso;
  form->ListView1.Select(2, true);
  Command(mnuListInject);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "插入失败!,请确定您拥有管理员身份!");
  EXPECT_EQ(dialogs.messages[0].caption, form->Text());
  EXPECT_EQ(dialogs.messages[0].flags, 64u);
  EXPECT_FALSE(form->Animate1.Visible());
  EXPECT_TRUE(drives.values.size() == 3 && drives.broadcasts.empty());

  // A refused signature and a full disk are told as what they are, with the system's text.
  drives.services.clear();
  drives.startError = syserr::kInvalidImageHash;
  Command(mnuListInject);
  drives.files.clear();
  drives.files["D:\\光盘.iso"] = iso;
  drives.writesUntilFull = 0;
  Command(mnuListInject);
  ASSERT_EQ(dialogs.messages.size(), 3u);
  EXPECT_EQ(dialogs.messages[1].text.rfind(
                "插入失败!Windows 拒绝加载驱动程序 \"C:\\windows\\system32\\velmor.sys\"", 0),
            0u)
      << dialogs.messages[1].text;
  EXPECT_EQ(dialogs.messages[2].text.rfind("插入失败!磁盘空间不足", 0), 0u);
  EXPECT_NE(dialogs.messages[2].text.find(winkit::SystemErrorText(112) + " (错误 112)"),
            std::string::npos);
  EXPECT_EQ(dialogs.messages[2].flags, unsigned(MB_ICONERROR));
  dialogs.messages.resize(1);
  drives.writesUntilFull = -1;

  // The driver takes the drive but the registry refuses its value: the drive is removed again
  // and the user told why, in Chinese with the system's text as detail.
  drives.openable = {{"\\\\.\\VELMOR", 1}, {"\\\\.\\C:", 1}};
  drives.registryError = 5;
  drives.log.clear();
  Command(mnuListInject);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  const std::string &text = dialogs.messages[1].text;
  EXPECT_EQ(text.rfind("无法在注册表中记录虚拟光驱 C:, 已将它移除!", 0), 0u) << text;
  EXPECT_NE(text.find(winkit::SystemErrorText(5) + " (错误 5)"), std::string::npos) << text;
  EXPECT_EQ(dialogs.messages[1].flags, unsigned(MB_ICONERROR));
  EXPECT_EQ(drives.log.back(), "control " + std::to_string(IOCTL_VELMOR_REMOVE_DEVICE));
  EXPECT_FALSE(form->Animate1.Visible());
  EXPECT_TRUE(drives.broadcasts.empty());

  // An image that holds no disc is refused before the driver is asked for anything; one with
  // no known volume is mounted only if the user says so.
  drives.files["D:\\光盘.iso"] = {};
  drives.log.clear();
  dialogs.messages.clear();
  Command(mnuListInject);
  drives.files["D:\\光盘.iso"].resize(18 * 2048);
  dialogs.answer = IDNO;
  Command(mnuListInject);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0].text.rfind("映像文件 \"D:\\光盘.iso\" 太小", 0), 0u)
      << dialogs.messages[0].text;
  EXPECT_EQ(dialogs.messages[1].flags, winkit::kAskFlags);
  EXPECT_NE(dialogs.messages[1].text.find("找不到 ISO 9660 或 UDF 光盘卷"), std::string::npos);
  EXPECT_TRUE(drives.log.empty());
}

// An image the server reads goes to the server, installed on first use: a server that never
// answers, a refusal with the reader's own words, and a drive made are each told as such.
TEST_F(FrmMainTest, ServedImageInsertGoesToTheServer) {
  Open();
  testing::FakeDriveSystem drives;
  form->SetDriveSystem(drives);
  std::vector<uint8_t> chd = {'M', 'C', 'o', 'm', 'p', 'r', 'H', 'D'};
  chd.resize(4096);
  drives.files["D:\\光盘.iso"] = chd;
  drives.openable = {{"\\\\.\\VELMOR", 1}};
  drives.buildAnswer = {uint8_t(kBuildProtocolVersion), 0, 0, 0}; // the carried driver runs
  drives.buildAnswer.insert(drives.buildAnswer.end(), kDriverBuildIdentity,
                            kDriverBuildIdentity + kBuildIdentitySize);
  form->ListView1.Select(2, true);
  Command(mnuListInject);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text.rfind("插入失败!映像服务 VelmorServer 没有响应!", 0), 0u)
      << dialogs.messages[0].text;
  EXPECT_TRUE(drives.services.count(channel::kServerServiceName)) << "installed on first use";

  channel::Status status = channel::Status::kNotServedImage;
  drives.server = [&status](const std::vector<uint8_t> &bytes) {
    channel::Request request;
    channel::DecodeRequest(bytes.data(), bytes.size(), &request);
    channel::Reply reply;
    reply.kind = request.kind;
    reply.letter = request.letter;
    std::copy_n(kServerBuildIdentity, sizeof reply.identity, reply.identity);
    if (request.kind == channel::Kind::kMount) {
      reply.status = status;
      reply.text = "hunk 3 fails its CRC";
    }
    return channel::EncodeReply(reply);
  };
  Command(mnuListInject);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text,
            "映像文件 \"D:\\光盘.iso\" 无法读取: hunk 3 fails its CRC, 无法插入虚拟光驱!");
  EXPECT_EQ(dialogs.messages[1].flags, unsigned(MB_ICONERROR));
  EXPECT_TRUE(drives.broadcasts.empty());

  status = channel::Status::kOk;
  Command(mnuListInject);
  EXPECT_EQ(dialogs.messages.size(), 2u) << dialogs.messages.back().text;
  EXPECT_FALSE(drives.broadcasts.empty()) << "the drive is announced";
}

// Keys go through the message loop as the keyboard's do: Tab moves between the drive tree and
// the image list, Enter on an image row inserts it, Delete removes the selected rows, F5 reads
// the drives again and Delete on a drive node ejects it.
TEST_F(FrmMainTest, KeysOfTheTreeAndTheList) {
  Open();
  form->Show();
  testing::FakeDriveSystem drives;
  drives.values = {{"G", "C:\\g.iso"}};
  drives.driveTypes = {{'G', kDriveCdrom}};
  drives.labels = {{'G', "MYDISC"}};
  drives.dosDevices = {{'G', "\\Device\\VELMOR106"}};
  form->SetDriveSystem(drives);
  const HWND list = form->ListView1.Handle(), tree = form->DriveTree.Handle();
  auto press = [](UINT key) {
    testing::PostKey(key);
    winkit::App().ProcessMessages();
  };
  form->FocusImageList();
  ASSERT_EQ(GetFocus(), list);
  press(VK_TAB);
  EXPECT_EQ(GetFocus(), tree);
  press(VK_TAB);
  EXPECT_EQ(GetFocus(), list);

  form->ListView1.Select(2, true);
  press(VK_RETURN); // the row names no file: the refused insert shows that Enter inserted
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text.rfind("找不到映像文件", 0), 0u) << dialogs.messages[0].text;
  press(VK_DELETE);
  EXPECT_EQ(ListRows(), (Rows{"C:\\a.iso", "", "C:\\a.iso"}));

  SetFocus(tree);
  press(VK_F5);
  ASSERT_EQ(form->DriveTree.Count(), 2);
  const HTREEITEM node = form->DriveTree.FirstChild(form->DriveTree.FirstRoot());
  EXPECT_EQ(form->DriveTree.Text(node), "G:(MYDISC)");
  form->DriveTree.Select(node);
  drives.log.clear();
  press(VK_DELETE);
  EXPECT_FALSE(drives.log.empty()) << "Delete on a drive did not eject it";
}

// Every toolbar command is a menu item with its key, and the keys run them wherever the focus
// is. A refresh leaves a node selected for the keyboard.
TEST_F(FrmMainTest, EveryToolbarCommandFromTheKeyboard) {
  Open();
  form->Show();
  testing::FakeDriveSystem drives;
  drives.values = {{"G", "C:\\g.iso"}};
  drives.dosDevices = {{'G', "\\Device\\VELMOR6"}};
  form->SetDriveSystem(drives);
  const HMENU menu = GetMenu(form->Handle());
  const int commands[] = {btnInject, btnEject, btnRefresh, btnRip,  btnBuild,
                          btnAdd,    btnDel,   btnHelp,    btnHome, mnuE1};
  for (int command : commands) {
    char text[96] = {};
    EXPECT_GT(GetMenuStringA(menu, command, text, sizeof text, MF_BYCOMMAND), 0) << command;
    EXPECT_NE(std::string(text).find('\t'), std::string::npos) << text;
  }
  auto chord = [](bool control, UINT key) {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = control ? 0x80 : 0;
    SetKeyboardState(keys);
    testing::PostKey(key);
    winkit::App().ProcessMessages();
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
  };
  form->FocusImageList();
  chord(false, VK_F5);
  ASSERT_EQ(form->DriveTree.Count(), 2);
  EXPECT_EQ(form->DriveTree.Text(form->DriveTree.Selected()).substr(0, 2), "G:");

  form->ListView1.Select(2, true);
  const struct {
    bool control;
    UINT key;
    const char *message; // the start of the message the command shows
  } keys[] = {
      {true, 'I', "找不到映像文件"},       // inserts the selected row, which names no file
      {true, 'R', "您的电脑没有发现光驱"}, // the ripper needs a CD-ROM drive
      {false, VK_F1, "双击"},
      {true, 'H', kProductTitle},
  };
  for (const auto &k : keys) {
    dialogs.messages.clear();
    chord(k.control, k.key);
    ASSERT_EQ(dialogs.messages.size(), 1u) << k.message;
    EXPECT_EQ(dialogs.messages[0].text.rfind(k.message, 0), 0u) << dialogs.messages[0].text;
  }
  chord(true, 'D');
  EXPECT_EQ(ListRows(), (Rows{"C:\\a.iso", "", "C:\\a.iso"}));
  chord(true, 'O');
  EXPECT_EQ(dialogs.opened, 1);
  drives.log.clear();
  chord(true, 'E'); // the tree's selected drive, from the list
  EXPECT_NE(std::find(drives.log.begin(), drives.log.end(), "delete G"), drives.log.end());
  chord(true, 'Q');
  EXPECT_TRUE(winkit::App().Terminated());
}

} // namespace
} // namespace velmor
