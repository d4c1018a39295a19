// The image list's commands and its store.
#include "FrmMain.h"

#include <vector>

namespace velmor {

void TFrmMain::AddImageToList(const std::string &path) { ListView1.Append(path, 0); }

void TFrmMain::LoadImageList() {
  std::vector<std::string> entries; // read whole before the first row is added
  listUnread_ = true;               // until the store has answered
  bool exists = store_.Load(entries);
  listUnread_ = false;
  if (!exists)
    return;
  for (const auto &e : entries)
    AddImageToList(e);
}

// An empty list is saved too (as an empty file): what the user sees at exit comes back.
// A list file that could not be read is never overwritten: its entries were not shown.
void TFrmMain::SaveImageList() {
  if (listUnread_)
    return;
  std::vector<std::string> entries;
  entries.reserve(ListView1.Count());
  for (int i = 0; i < ListView1.Count(); ++i)
    entries.push_back(ListView1.Caption(i));
  store_.Save(entries);
}

void TFrmMain::btnAddClick() {
  std::vector<std::string> files;
  if (!winkit::Dialogs().OpenFiles(Handle(), OpenDialog1, files))
    return;
  for (const auto &f : files)
    AddImageToList(f);
}

void TFrmMain::btnDelClick() { ListView1.DeleteSelected(); }

void TFrmMain::C1Click() { ListView1.Clear(); }

} // namespace velmor
