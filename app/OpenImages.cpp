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
  int first = -1;
  for (const auto &path : paths) {
    if (winkit::DirectoryExists(path))
      continue; // a folder holds no image
    int row = ImageRow(path);
    if (row < 0) {
      AddImageToList(path);
      row = ListView1.Count() - 1;
    }
    if (first < 0)
      first = row;
  }
  if (!insertFirst || first < 0)
    return;
  for (int row = ListView1.NextSelected(); row >= 0; row = ListView1.NextSelected(row))
    ListView1.Select(row, false);
  ListView1.Select(first, true);
  btnInjectClick(); // inserts the selected row
}

// A second start's images: the window comes forward and takes them as its own command line.
LRESULT TFrmMain::CopyData(const COPYDATASTRUCT &data) {
  if (data.dwData != kOpenImagesTag)
    return FALSE;
  const std::vector<std::string> paths = UnpackImagePaths(data);
  if (IsIconic(Handle()))
    ShowWindow(Handle(), SW_RESTORE);
  SetForegroundWindow(Handle());
  winkit::App().Guard([&] { OpenImages(paths, true); });
  return TRUE;
}

} // namespace velmor
