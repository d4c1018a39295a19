#include "FrmMain.h"

#include "Pictures.h"
#include "ProductInfo.h"
#include "winkit/Application.h"
#include "winkit/Menu.h"

#include <windowsx.h>

namespace velmor {

TFrmMain *FrmMain = nullptr;

namespace {

constexpr int kClientWidth = 610;
constexpr int kClientHeight = 401;
constexpr int kButtonWidth = 56;
constexpr int kButtonHeight = 51;
constexpr int kGap = 8;
constexpr int kMinPaneWidth = 20;

} // namespace

TFrmMain::TFrmMain(ImageListStore &store) : store_(store) {
  winkit::Menu file = winkit::Menu::Popup();
  file.Item(mnuE1, "退出[&E]");
  winkit::Menu menu = winkit::Menu::Bar();
  menu.Sub("文件[&F]", std::move(file));
  CreateTopLevel("TFrmMain", "", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, kClientWidth, kClientHeight,
                 nullptr, menu.Release());
  FrmMain = this;
  winkit::App().SetMainWindow(Handle());
  CreateControls();
  ArrangeControls();
  UseDialogKeys(); // Tab: drive tree, image list
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
  RefreshDriveTree();
  LoadImageList();
}

void TFrmMain::FormResize() { ListView1.SetColumnWidth(0, ListView1.ClientSize().cx); }

void TFrmMain::FormDestroy() { SaveImageList(); }

void TFrmMain::E1Click() { winkit::App().Terminate(); }

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
  default: // "帮助" and "主页" have no command
    return;
  }
}

void TFrmMain::ShowContextMenu(HWND control, LPARAM lp) {
  POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  if (lp == -1) { // from the keyboard: open at the control's corner
    pt = {0, 0};
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
  if (code == 0 || code == BN_CLICKED)
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
  case WM_COPYDATA:
    return CopyData(*reinterpret_cast<const COPYDATASTRUCT *>(lp));
  }
  return Window::HandleMessage(msg, wp, lp);
}

} // namespace velmor
