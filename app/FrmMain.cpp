#include "FrmMain.h"

#include "Pictures.h"
#include "ProductInfo.h"
#include "drive_client.h"
#include "recorded_drives.h"
#include "shell_verbs_win32.h"
#include "winkit/Application.h"
#include "winkit/Menu.h"
#include "winkit/SystemError.h"

#include <windowsx.h>

#include <iterator>

namespace velmor {

TFrmMain *FrmMain = nullptr;

namespace {

constexpr int kClientWidth = 610;
constexpr int kClientHeight = 401;
constexpr int kButtonWidth = 56;
constexpr int kButtonHeight = 51;
constexpr int kGap = 8;
constexpr int kMinPaneWidth = 20;

// Every toolbar command is also a menu item with its key, so the keyboard reaches them all.
constexpr ACCEL kCommandKeys[] = {
    {FVIRTKEY | FCONTROL, 'I', btnInject},
    {FVIRTKEY | FCONTROL, 'E', btnEject},
    {FVIRTKEY | FCONTROL, 'L', mnuO1},
    {FVIRTKEY, VK_F5, btnRefresh},
    {FVIRTKEY | FCONTROL, 'R', btnRip},
    {FVIRTKEY | FCONTROL, 'B', btnBuild},
    {FVIRTKEY | FCONTROL, 'O', btnAdd},
    {FVIRTKEY | FCONTROL, 'D', btnDel},
    {FVIRTKEY, VK_F1, btnHelp},
    {FVIRTKEY | FCONTROL, 'H', btnHome},
    {FVIRTKEY | FCONTROL, 'Q', mnuE1},
    {FVIRTKEY | FCONTROL, 'M', mnuMountFolder},
};

HMENU MainMenu() {
  winkit::Menu file = winkit::Menu::Popup();
  file.Item(btnAdd, "加入光盘[&A]...\tCtrl+O")
      .Item(btnDel, "删除光盘[&D]\tCtrl+D")
      .Separator()
      .Item(mnuShellVerbs, "在资源管理器的右键菜单中装载映像[&M]")
      .Item(mnuUninstall, "卸载虚拟光驱驱动程序[&U]...")
      .Separator()
      .Item(mnuE1, "退出[&E]\tCtrl+Q");
  winkit::Menu drive = winkit::Menu::Popup();
  drive.Item(btnInject, "插入虚拟光驱[&I]\tCtrl+I")
      .Item(btnEject, "弹出虚拟光驱[&E]\tCtrl+E")
      .Item(mnuO1, "浏览光盘[&O]\tCtrl+L")
      .Item(mnuMountFolder, "把文件夹装载为光盘[&M]...\tCtrl+M")
      .Separator()
      .Item(btnRefresh, "刷新[&R]\tF5");
  winkit::Menu tools = winkit::Menu::Popup();
  tools.Item(btnRip, "压制光盘为ISO文件[&R]...\tCtrl+R").Item(btnBuild, "部分收纳[&B]...\tCtrl+B");
  winkit::Menu help = winkit::Menu::Popup();
  help.Item(btnHelp, "使用说明[&H]\tF1").Item(btnHome, "关于[&A]...\tCtrl+H");
  winkit::Menu menu = winkit::Menu::Bar();
  menu.Sub("文件[&F]", std::move(file))
      .Sub("光驱[&D]", std::move(drive))
      .Sub("工具[&T]", std::move(tools))
      .Sub("帮助[&H]", std::move(help));
  return menu.Release();
}

} // namespace

TFrmMain::TFrmMain(ImageListStore &store) : store_(store) {
  CreateTopLevel("TFrmMain", "", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, kClientWidth, kClientHeight,
                 nullptr, MainMenu());
  FrmMain = this;
  winkit::App().SetMainWindow(Handle());
  CreateControls();
  ArrangeControls();
  UseDialogKeys(); // Tab: drive tree, image list
  UseAccelerators(kCommandKeys, int(std::size(kCommandKeys)));
  winkit::App().Guard([this] { FormCreate(); });
}

TFrmMain::~TFrmMain() {
  ListDrop.SetControl(nullptr);
  Destroy(); // runs FormDestroy while the controls still exist
  if (FrmMain == this)
    FrmMain = nullptr;
}

void TFrmMain::CreateControls() {
  font_.reset(CreateFontA(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, "宋体"));
  SendMessageA(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);

  CreateToolBar();

  DriveTree.Create(Handle(), idDriveTree,
                   WS_VISIBLE | WS_TABSTOP | TVS_FULLROWSELECT | TVS_SHOWSELALWAYS |
                       TVS_HASBUTTONS);
  DriveTree.SetIndent(19);
  treeImages_.reset(MakeDriveTreeImages());
  DriveTree.SetImages(treeImages_.get());

  Splitter1.Create(Handle(), idSplitter, [this](int x) {
    const int maxWidth = ClientSize().cx - kSplitterWidth - kMinPaneWidth;
    treeWidth_ = std::max(kMinPaneWidth, std::min(x, maxWidth));
    ArrangeControls();
  });

  ListView1.Create(Handle(), idListView, WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS,
                   LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  ListView1.AddColumn("ISO文件路径", 400);
  listImages_.reset(MakeImageFileImages());
  ListView1.SetSmallImages(listImages_.get());

  StatusBar1.Create(Handle(), idStatusBar);

  Animate1.Create(Handle(), idAnimate, ACS_TRANSPARENT);
  SetWindowPos(Animate1.Handle(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

  for (HWND child : {DriveTree.Handle(), ListView1.Handle(), StatusBar1.Handle()})
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);

  Hints.Create(Handle());
  Hints.Add(DriveTree.Handle(), "双击盘符弹出虚拟光驱.\r\n其它功能选择鼠标右键.");
  Hints.Add(ListView1.Handle(), "双击ISO文件插入虚拟光驱\r\n其它功能请选择鼠标右键.");

  ListDrop.OnDropped = [this](TExDragDrop *sender, std::int32_t) {
    winkit::App().Guard([&] { OpenImages(sender->Items(), false); });
  };
  ListDrop.SetControl(ListView1.Handle());

  OpenDialog1.filter = "光盘映像 (*.iso;*.cue;*.nrg;*.mds;*.ccd;*.img;*.bin)|"
                       "*.iso;*.cue;*.nrg;*.mds;*.ccd;*.img;*.bin|所有文件 (*.*)|*.*";
  OpenDialog1.defaultExt = "*.iso";
  OpenDialog1.multiSelect = true;
  OpenDialog1.mustExist = true;
  OpenDialog1.hideReadOnly = true;
  OpenDialog1.resizable = true;
}

void TFrmMain::CreateToolBar() {
  ToolBar1.Create(Handle(), idToolBar, kButtonWidth, kButtonHeight);
  ToolBar1.SetFont(font_.get()); // before the captions: a new font resizes the buttons
  ToolBar1.LoadSystemImages(IDB_STD_LARGE_COLOR);
  ToolBar1.AddGap(kGap);
  ToolBar1.AddButton(btnInject, STD_FILEOPEN, "插入", "将ISO文件插入虚拟光驱.");
  ToolBar1.AddButton(btnEject, STD_UNDO, "弹出", "弹出虚拟光驱.");
  ToolBar1.AddButton(btnRefresh, STD_REDOW, "刷新", "重新读取已插入的虚拟光驱列表.");
  ToolBar1.AddGap(kGap);
  ToolBar1.AddButton(btnRip, STD_FILESAVE, "压制", "压制光盘内容到ISO文件格式.");
  ToolBar1.AddButton(btnBuild, STD_FILENEW, "部分收纳", "从磁盘选择文件或目录压制ISO文件.");
  ToolBar1.AddButton(btnAdd, STD_PASTE, "加入", "加入ISO文件到列表中.");
  ToolBar1.AddButton(btnDel, STD_DELETE, "删除", "从列表中删除ISO文件.");
  ToolBar1.AddGap(kGap);
  ToolBar1.AddButton(btnHelp, STD_HELP, "帮助", "使用说明和帮助.");
  ToolBar1.AddButton(btnHome, STD_PROPERTIES, "主页", "访问软件主页.");
  ToolBar1.AddButton(btnExit, STD_CUT, "退出", "退出程序.");
}

// Top to bottom: toolbar, thin strip, then tree | splitter | list, and the status bar.
void TFrmMain::ArrangeControls() {
  const SIZE client = ClientSize();
  const int top = kToolBarHeight + kStripHeight;
  const int middle = std::max(0, static_cast<int>(client.cy) - top - kStatusHeight);
  const int tree = std::min(treeWidth_, std::max(0, static_cast<int>(client.cx) - kSplitterWidth));
  const int listLeft = tree + kSplitterWidth;
  ToolBar1.Move(0, 0, client.cx, kToolBarHeight);
  DriveTree.Move(0, top, tree, middle);
  MoveWindow(Splitter1.Handle(), tree, top, kSplitterWidth, middle, TRUE);
  ListView1.Move(listLeft, top, std::max(0, static_cast<int>(client.cx) - listLeft), middle);
  StatusBar1.Move(0, client.cy - kStatusHeight, client.cx, kStatusHeight);
  const RECT list = ListView1.Bounds();
  Animate1.Move(list.left + (list.right - list.left - 96) / 2,
                list.top + (list.bottom - list.top - 32) / 2, 96, 32);
}

void TFrmMain::FormCreate() {
  SetText(std::string(kProductTitle) + " " + kVersionText + kAuthorCredit);
  winkit::App().SetTitle(Text());
  // Drives recorded without their files' identities (by an older version) are added again
  // while the driver runs, which records them; then images left by a program that ended with
  // their drives go.
  AddUnidentifiedDrives(*drives_);
  CleanFolderDiscCache(*drives_);
  RefreshDriveTree();
  LoadImageList();
}

void TFrmMain::FormResize() { ListView1.SetColumnWidth(0, ListView1.ClientSize().cx); }

void TFrmMain::FormDestroy() { SaveImageList(); }

void TFrmMain::E1Click() { winkit::App().Terminate(); }

void TFrmMain::ShellVerbsClick() {
  const bool on = ShellVerbsRegistered(VerbScope::kCurrentUser);
  const long error = on ? UnregisterShellVerbs(VerbScope::kCurrentUser)
                        : RegisterShellVerbs(VerbScope::kCurrentUser, ProgramBesideThis());
  if (error)
    winkit::Dialogs().MessageBox(Handle(),
                                 std::string(on ? "无法从资源管理器的右键菜单中删除装载命令!"
                                                : "无法在资源管理器的右键菜单中加入装载命令!") +
                                     winkit::CodeDetail(DWORD(error)),
                                 Text(), winkit::kErrorFlags);
}

void TFrmMain::HelpClick() {
  winkit::Dialogs().MessageBox(
      Handle(),
      "双击右侧列表中的映像文件, 或选中后按 Ctrl+I, 插入虚拟光驱.\r\n"
      "双击左侧的盘符, 或选中后按 Ctrl+E 或 Delete, 弹出虚拟光驱.\r\n"
      "把映像文件拖到列表上, 或按 Ctrl+O, 加入列表.\r\n"
      "Ctrl+R 把光盘压制为ISO文件, Ctrl+B 从磁盘上的文件和文件夹压制ISO文件.\r\n"
      "命令行: velmor.exe 映像文件... 加入列表并插入第一个.",
      Text(), winkit::kInfoFlags);
}

void TFrmMain::AboutClick() {
  winkit::Dialogs().MessageBox(
      Handle(), std::string(kProductTitle) + " " + kVersionText + "\r\n" + (kAuthorCredit + 1),
      Text(), winkit::kInfoFlags);
}

// The image-from-files window comes with its own command.
void TFrmMain::Dispatch(int command) {
  switch (command) {
  case btnInject:
  case mnuListInject:
    return btnInjectClick();
  case btnEject:
  case mnuTreeEject:
    return btnEjectClick();
  case mnuO1:
    return O1Click();
  case btnRefresh:
    return RefreshDriveTree();
  case btnRip:
    return btnRipClick();
  case btnBuild:
    return btnBuildClick();
  case btnAdd:
  case mnuListAdd:
    return btnAddClick();
  case btnDel:
  case mnuListDel:
    return btnDelClick();
  case mnuC1:
    return C1Click();
  case btnExit:
  case mnuE1:
    return E1Click();
  case mnuShellVerbs:
    return ShellVerbsClick();
  case mnuUninstall:
    return UninstallClick();
  case mnuMountFolder:
    return MountFolderClick();
  case btnHelp:
    return HelpClick();
  case btnHome:
    return AboutClick();
  default:
    return;
  }
}

void TFrmMain::ShowContextMenu(HWND control, LPARAM lp) {
  POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  if (lp == -1) { // from the keyboard: at the selected row, else at the control's corner
    pt = {0, 0};
    RECT row{LVIR_BOUNDS, 0, 0, 0};
    if (control == ListView1.Handle() && ListView1.NextSelected() >= 0 &&
        SendMessageA(control, LVM_GETITEMRECT, ListView1.NextSelected(),
                     reinterpret_cast<LPARAM>(&row)))
      pt = {row.left + 8, row.bottom};
    ClientToScreen(control, &pt);
  }
  if (control == DriveTree.Handle()) {
    winkit::Menu::Popup()
        .Item(mnuTreeEject, "弹出虚拟光盘[&E]")
        .Separator()
        .Item(mnuO1, "浏览光盘[&O]")
        .Track(Handle(), pt.x, pt.y);
  } else if (control == ListView1.Handle()) {
    winkit::Menu::Popup()
        .Item(mnuListInject, "插入光盘[&I]")
        .Separator()
        .Item(mnuListAdd, "加入光盘[&A]")
        .Separator()
        .Item(mnuListDel, "删除光盘[&D]")
        .Separator()
        .Item(mnuC1, "清空光盘[&C]")
        .Separator()
        .Track(Handle(), pt.x, pt.y);
  }
}

bool TFrmMain::OnNotify(const NMHDR &hdr) {
  if (ToolBar1.HandleNotify(reinterpret_cast<LPARAM>(&hdr)))
    return true;
  if (hdr.code == NM_DBLCLK && hdr.idFrom == idListView) {
    btnInjectClick();
    return true;
  }
  if (hdr.code == NM_DBLCLK && hdr.idFrom == idDriveTree) {
    btnEjectClick();
    return true;
  }
  if (hdr.code == LVN_KEYDOWN && hdr.idFrom == idListView)
    return PanelKey(reinterpret_cast<const NMLVKEYDOWN &>(hdr).wVKey, &TFrmMain::btnDelClick);
  if (hdr.code == TVN_KEYDOWN && hdr.idFrom == idDriveTree)
    return PanelKey(reinterpret_cast<const NMTVKEYDOWN &>(hdr).wVKey, &TFrmMain::btnEjectClick);
  return false;
}

// Delete runs the panel's own command (the list removes the selected rows, the tree ejects the
// selected drive); F5 reads the drives again in either. Enter comes as IDOK.
bool TFrmMain::PanelKey(WORD key, void (TFrmMain::*deleteCommand)()) {
  if (key == VK_DELETE)
    (this->*deleteCommand)();
  else if (key == VK_F5)
    RefreshDriveTree();
  else
    return false;
  return true;
}

bool TFrmMain::OnCommand(int id, int code) {
  if (id == idAnimate) { // the clip has started or ended
    if (code == ACN_START)
      Animate1Start();
    else if (code == ACN_STOP)
      Animate1Stop();
    return true;
  }
  if (id == IDOK) { // Enter: on an image row it inserts, as a double click does
    if (GetFocus() == ListView1.Handle())
      btnInjectClick();
    return true;
  }
  if (code == BN_CLICKED || code == 1) // a button or menu item, or an accelerator
    Dispatch(id);
  return true;
}

// The caption button ends the run like "退出".
void TFrmMain::OnCloseRequest() { winkit::App().Terminate(); }

LRESULT TFrmMain::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_CONTEXTMENU:
    ShowContextMenu(reinterpret_cast<HWND>(wp), lp);
    return 0;
  case WM_SIZE:
    if (ToolBar1.Handle()) {
      ArrangeControls();
      FormResize();
    }
    return 0;
  case WM_DESTROY:
    FormDestroy();
    return 0;
  case WM_INITMENUPOPUP: // the verb's item shows whether it is on
    CheckMenuItem(reinterpret_cast<HMENU>(wp), mnuShellVerbs,
                  ShellVerbsRegistered(VerbScope::kCurrentUser) ||
                          ShellVerbsRegistered(VerbScope::kAllUsers)
                      ? MF_CHECKED
                      : MF_UNCHECKED);
    return 0;
  case WM_COPYDATA:
    return CopyData(*reinterpret_cast<const COPYDATASTRUCT *>(lp));
  case kOpenHandedImages:
    OpenHandedImages();
    return 0;
  // The session ends without WM_DESTROY: the list is saved on the way out.
  case WM_QUERYENDSESSION:
    SaveImageList();
    return TRUE;
  case WM_ENDSESSION:
    if (wp)
      SaveImageList();
    return 0;
  }
  return Window::HandleMessage(msg, wp, lp);
}

} // namespace velmor
