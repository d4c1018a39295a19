// Images that come from outside the window: the command line, a second start of the program
// (through WM_COPYDATA) and files dropped onto the list.
#include "FrmMain.h"
#include "SingleInstance.h"
#include "winkit/Application.h"
#include "winkit/InputChecks.h"

namespace velmor {

// The row of an image, by its path as the system compares paths (without regard to case).
int TFrmMain::ImageRow(const std::string &path) const {
  for (int row = 0; row < ListView1.Count(); ++row)
    if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, ImagePath(row).c_str(), -1,
                       path.c_str(), -1) == CSTR_EQUAL)
      return row;
  return -1;
}

void TFrmMain::OpenImages(const std::vector<std::string> &paths, bool insertFirst) {
  const std::string *firstPath = nullptr;
  int first = -1;
  for (const auto &path : paths) {
    if (winkit::DirectoryExists(path)) {
      if (!insertFirst) // a folder dropped onto the list is mounted as a disc
        MountFolder(path);
      continue;
    }
    if (!firstPath)
      firstPath = &path;
    // A name that leads nowhere (a typing error, a file since moved) would stay in the list
    // for good: the insert below says it is missing, and the list is left as it was.
    if (drives_->KindOfPath(drives_->FullPath(path)) == DriveSystem::PathKind::kMissing)
      continue;
    int row = ImageRow(path);
    if (row < 0) {
      AddImageToList(path);
      row = ListView1.Count() - 1;
    }
    if (first < 0 && firstPath == &path)
      first = row;
  }
  if (!insertFirst || !firstPath)
    return;
  if (first >= 0) {
    for (int row = ListView1.NextSelected(); row >= 0; row = ListView1.NextSelected(row))
      ListView1.Select(row, false);
    ListView1.Select(first, true);
    ListView1.Focus(first); // the keyboard goes on from the inserted row
  }
  InsertImage(*firstPath);
}

// A second start's images. The second start waits for the answer: it is given at once, and the
// images are opened afterwards (an insert may ask a question or show an error, and a second
// start that timed out meanwhile would open them again as a program of its own).
LRESULT TFrmMain::CopyData(const COPYDATASTRUCT &data) {
  if (data.dwData != kOpenImagesTag)
    return FALSE;
  handedImages_.push_back(UnpackImagePaths(data));
  PostMessageA(Handle(), kOpenHandedImages, 0, 0);
  return TRUE;
}

// The window comes forward and takes the images as its own command line.
void TFrmMain::OpenHandedImages() {
  if (handedImages_.empty())
    return;
  const std::vector<std::string> paths = std::move(handedImages_.front());
  handedImages_.erase(handedImages_.begin());
  if (IsIconic(Handle()))
    ShowWindow(Handle(), SW_RESTORE);
  SetForegroundWindow(Handle());
  OpenImages(paths, true);
}

} // namespace velmor
