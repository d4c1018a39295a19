// The drive tree: one root node with the product title, one node per recorded drive.
#include "FrmMain.h"

#include "ProductInfo.h"
#include "velmor_protocol.h"

#include <vector>

namespace velmor {
namespace {

std::vector<std::string> RecordedDriveNames() {
  std::vector<std::string> names;
  HKEY raw = nullptr;
  // The result is not tested: a key that cannot be opened simply lists no drives.
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDrivesKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                  nullptr);
  winkit::RegKey key(raw);
  if (!key)
    return names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD len = sizeof name;
    if (RegEnumValueA(key.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.emplace_back(name, len);
  }
  return names;
}

std::string DriveVolumeLabel(char letter) {
  const char root[] = {letter, ':', '\\', '\0'};
  if (GetDriveTypeA(root) != DRIVE_CDROM)
    return {};
  char label[64] = {};
  if (!GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0))
    return {};
  return label;
}

void AddRootNode(winkit::TreeView &tree, const std::string &text) {
  for (HTREEITEM n = tree.FirstRoot(); n; n = tree.NextSibling(n))
    if (tree.Text(n) == text)
      return;
  tree.Append(TVI_ROOT, text, 0, 0);
}

void AddChildNode(winkit::TreeView &tree, const std::string &parentText,
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

} // namespace

void TFrmMain::RefreshDriveTree() {
  const auto names = RecordedDriveNames();
  DriveTree.Clear();
  AddRootNode(DriveTree, kProductTitle);
  for (const auto &name : names) {
    if (name.empty())
      continue;
    AddChildNode(DriveTree, kProductTitle,
                 name.substr(0, 1) + ":(" + DriveVolumeLabel(name[0]) + ")", 1);
  }
  for (HTREEITEM n = DriveTree.FirstRoot(); n; n = DriveTree.NextSibling(n))
    DriveTree.Expand(n);
}

} // namespace velmor
