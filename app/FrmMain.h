#pragma once
// The main window: toolbar, drive tree, image list; every user action starts here.
#include "ImageListFile.h"
#include "drive_system_win32.h"
#include "ui/ExDragDrop.h"
#include "winkit/Dialogs.h"
#include "winkit/Handle.h"
#include "winkit/HintWindow.h"
#include "winkit/ListView.h"
#include "winkit/SimpleControls.h"
#include "winkit/Splitter.h"
#include "winkit/ToolBar.h"
#include "winkit/TreeView.h"
#include "winkit/Window.h"

#include <string>
#include <vector>

namespace velmor {

// Command identifiers; several controls fire one method (see Dispatch).
enum MainCommand : int {
  idToolBar = 100,
  idDriveTree,
  idSplitter,
  idListView,
  idStatusBar,
  idAnimate,
  // toolbar
  btnInject = 200,
  btnEject,
  btnRefresh,
  btnRip,
  btnBuild,
  btnAdd,
  btnDel,
  btnHelp,
  btnHome,
  btnExit,
  // main menu
  mnuE1 = 300,
  mnuShellVerbs,  // Explorer's "mount" verb on image files, on or off
  mnuUninstall,   // ejects every drive and removes the driver
  mnuMountFolder, // a folder's contents as a disc
  // drive tree menu
  mnuTreeEject = 310,
  mnuO1,
  // image list menu
  mnuListInject = 320,
  mnuListAdd,
  mnuListDel,
  mnuC1,
};

class TFrmMain : public winkit::Window {
public:
  // The list is loaded from and saved to `store`, which must outlive the window.
  explicit TFrmMain(ImageListStore &store);
  ~TFrmMain() override;

  // Image list
  void AddImageToList(const std::string &path);
  // The path of a row as it was added, byte for byte.
  const std::string &ImagePath(int row) const { return imageRows_.at(static_cast<size_t>(row)); }
  void LoadImageList();
  void SaveImageList();
  void btnAddClick();
  void btnDelClick();
  void C1Click(); // the list menu's "清空光盘": empties the list
  // Images from the command line, a second start or a drop: each one not yet in the list is
  // added; with `insertFirst` the first of them is then inserted as a drive.
  void OpenImages(const std::vector<std::string> &paths, bool insertFirst);

  // Drive panel
  void RefreshDriveTree();
  std::string DriveVolumeLabel(char letter);
  static void AddRootNode(winkit::TreeView &tree, const std::string &text);
  // The node with `childText` under the node with `parentText`, added when missing.
  static HTREEITEM AddChildNode(winkit::TreeView &tree, const std::string &parentText,
                                const std::string &childText, int image);
  void btnInjectClick();
  // Inserts the image at `path` (relative to the list file's folder) as a drive, or says why not.
  void InsertImage(const std::string &path);
  void InsertServedImage(const std::string &path, bool restartNeeded);
  void btnEjectClick();
  void O1Click(); // the tree menu's "浏览光盘": opens the selected drive in Explorer
  void Animate1Start();
  void Animate1Stop();
  // The system the drive panel works on: the machine's own unless a test gives another.
  void SetDriveSystem(DriveSystem &system) { drives_ = &system; }

  // Other windows
  void btnRipClick();
  void btnBuildClick();

  void E1Click();          // "文件 > 退出" and the toolbar's "退出": ends the run
  void ShellVerbsClick();  // turns Explorer's verb for this user on or off
  void UninstallClick();   // after a confirmation: every drive, the driver and its traces
  void MountFolderClick(); // asks for a folder and mounts it as a disc
  // Builds an image of the folder's contents and inserts it (not into the list).
  void MountFolder(const std::string &folder);
  void HelpClick();  // "帮助": how the window is used
  void AboutClick(); // "主页": the product and its version
  // Puts the focus on the image list, the window's first input.
  void FocusImageList() { SetFocus(ListView1.Handle()); }

  void FormCreate();
  void FormResize();
  void FormDestroy();

  winkit::ToolBar ToolBar1;
  winkit::TreeView DriveTree;
  winkit::Splitter Splitter1;
  winkit::ListView ListView1;
  winkit::StatusBar StatusBar1;
  winkit::Animation Animate1;
  winkit::HintWindow Hints;
  winkit::FileDialogOptions OpenDialog1;
  TExDragDrop ListDrop; // image files dropped from the shell onto the list

  static constexpr int kToolBarHeight = 53;
  static constexpr int kStripHeight = 14;
  static constexpr int kStatusHeight = 21;
  static constexpr int kSplitterWidth = 3;

protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;
  bool OnCommand(int id, int code) override;
  bool OnNotify(const NMHDR &hdr) override;
  void OnCloseRequest() override;

private:
  void CreateControls();
  void CreateToolBar();
  void ArrangeControls();
  void Dispatch(int command);
  void ShowContextMenu(HWND control, LPARAM lp);
  bool PanelKey(WORD key, void (TFrmMain::*deleteCommand)());
  void PlayClip(const char *name);
  std::string ImageListFolder() const;
  void ShowDriveMessage(const std::string &text, unsigned flags);
  int ImageRow(const std::string &path) const;
  LRESULT CopyData(const COPYDATASTRUCT &data);
  void OpenHandedImages();
  // Posted to itself by CopyData: the images a second start handed over are opened after
  // the hand-over has been answered.
  static constexpr UINT kOpenHandedImages = WM_APP + 1;

  ImageListStore &store_;
  bool listUnread_ = false;            // the store failed to load: saving would wipe the list
  std::vector<std::string> imageRows_; // the list's rows in order, as the store keeps them
  std::vector<std::vector<std::string>> handedImages_; // hand-overs not yet opened
  int treeWidth_ = 184;
  winkit::FontHandle font_;
  winkit::ImageListHandle treeImages_, listImages_;
  DriveSystem *drives_ = &Win32DriveSystem();
};

// The program-wide reference to the main window, set while it exists.
extern TFrmMain *FrmMain;

} // namespace velmor
