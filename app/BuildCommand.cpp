// The build command: opens the image-from-files window.
#include "FrmMain.h"
#include "isocreate/FrmISOCreate.h"

namespace velmor {

void TFrmMain::btnBuildClick() {
  TFrmISOCreate window(Handle(), [this](const std::string &path) { AddImageToList(path); });
  window.ShowModal();
}

} // namespace velmor
