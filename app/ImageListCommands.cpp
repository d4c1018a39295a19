// The image list's commands and its store.
#include "FrmMain.h"

#include <vector>

namespace velmor {

// The row's bytes are kept beside the control, which may not show them exactly (pairs that are
// no GBK character); saving and inserting use the bytes.
void TFrmMain::AddImageToList(const std::string &path) {
  imageRows_.push_back(path);
  ListView1.Append(path, 0);
}

void TFrmMain::LoadImageList() {
  listUnread_ = true; // until the store has answered
  ImageListStore::Loaded loaded = store_.Load();
  listUnread_ = false;
  for (const auto &e : loaded.rows) // read whole before the first row is added
    AddImageToList(e);
  if (!loaded.notice.empty())
    winkit::Dialogs().MessageBox(Handle(), loaded.notice, Text(), winkit::kErrorFlags);
}

// An empty list is saved too (as an empty file): what the user sees at exit comes back.
// A list file that could not be read nor moved aside is never overwritten.
void TFrmMain::SaveImageList() {
  if (listUnread_)
    return;
  store_.Save(imageRows_);
}

void TFrmMain::btnAddClick() {
  std::vector<std::string> files;
  if (!winkit::Dialogs().OpenFiles(Handle(), OpenDialog1, files))
    return;
  for (const auto &f : files)
    AddImageToList(f);
}

void TFrmMain::btnDelClick() {
  for (int row = ListView1.Count() - 1; row >= 0; --row)
    if (ListView1.IsSelected(row)) {
      ListView1.Delete(row);
      imageRows_.erase(imageRows_.begin() + row);
    }
}

void TFrmMain::C1Click() {
  ListView1.Clear();
  imageRows_.clear();
}

} // namespace velmor
