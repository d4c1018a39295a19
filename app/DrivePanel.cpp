// The drive panel: a tree of the recorded drives under one root node with the product title,
// and the commands on drives (insert, eject, browse). A short clip plays after every insert
// and eject; when it ends the tree is rebuilt, so it shows the drive as the system has it by
// then.
#include "FrmMain.h"

#include "ProductInfo.h"
#include "drive_client.h"
#include "winkit/Dialogs.h"

#include <shellapi.h>

namespace velmor {

void TFrmMain::RefreshDriveTree() {
  const auto values = drives_->DriveValues(); // read whole before the tree changes
  DriveTree.Clear();
  AddRootNode(DriveTree, kProductTitle);
  for (const auto &value : values) {
    const std::string &name = value.first;
    if (name.empty())
      continue;
    AddChildNode(DriveTree, kProductTitle,
                 name.substr(0, 1) + ":(" + DriveVolumeLabel(name[0]) + ")", 1);
  }
  for (HTREEITEM n = DriveTree.FirstRoot(); n; n = DriveTree.NextSibling(n))
    DriveTree.Expand(n);
}

std::string TFrmMain::DriveVolumeLabel(char letter) {
  if (drives_->DriveType(letter) != kDriveCdrom)
    return {};
  return drives_->VolumeLabel(letter);
}

void TFrmMain::AddRootNode(winkit::TreeView &tree, const std::string &text) {
  for (HTREEITEM n = tree.FirstRoot(); n; n = tree.NextSibling(n))
    if (tree.Text(n) == text)
      return;
  tree.Append(TVI_ROOT, text, 0, 0);
}

void TFrmMain::AddChildNode(winkit::TreeView &tree, const std::string &parentText,
                            const std::string &childText, int image) {
  for (HTREEITEM p = tree.FirstRoot(); p; p = tree.NextSibling(p))
    if (tree.Text(p) == parentText)
      for (HTREEITEM c = tree.FirstChild(p); c; c = tree.NextSibling(c))
        if (tree.Text(c) == childText)
          return;
  for (HTREEITEM p = tree.FirstRoot(); p; p = tree.NextSibling(p))
    if (tree.Text(p) == parentText)
      tree.Append(p, childText, image, image);
}

void TFrmMain::btnInjectClick() {
  const int row = ListView1.NextSelected();
  if (row < 0)
    return;
  DeviceHandle control = OpenControlDevice(*drives_);
  if (!control.valid()) {
    winkit::Dialogs().MessageBox(Handle(), "插入失败!,请确定您拥有管理员身份!", Text(),
                                 winkit::kInfoFlags);
    return;
  }
  // A refused request shows nothing: the rebuilt tree shows what the system has.
  AddVirtualDrive(*drives_, control, ImagePath(row), FindFreeDriveLetter(*drives_));
  control.reset();
  PlayClip("INSERT");
}

namespace {

// The drive letter of the selected node, or 0 when nothing or the root is selected.
char SelectedDriveLetter(const winkit::TreeView &tree) {
  const HTREEITEM node = tree.Selected();
  if (!node)
    return 0;
  const std::string text = tree.Text(node);
  return text == kProductTitle || text.empty() ? 0 : text[0];
}

} // namespace

void TFrmMain::btnEjectClick() {
  const char letter = SelectedDriveLetter(DriveTree);
  if (!letter)
    return;
  EjectVirtualDrive(*drives_, letter);
  PlayClip("EJECT");
}

void TFrmMain::O1Click() {
  const char letter = SelectedDriveLetter(DriveTree);
  if (!letter)
    return;
  const char root[] = {letter, ':', '\\', '\0'};
  ShellExecuteA(Handle(), nullptr, root, nullptr, nullptr, SW_SHOWNORMAL);
}

// Each command restarts the control with its own clip, played once, frames 1 to 10.
void TFrmMain::PlayClip(const char *name) {
  Animate1.Stop();
  Animate1.Open(name);
  Animate1.Play(1, 0, 9);
}

void TFrmMain::Animate1Start() { Animate1.Show(true); }

void TFrmMain::Animate1Stop() {
  Animate1.Show(false);
  RefreshDriveTree();
}

} // namespace velmor
