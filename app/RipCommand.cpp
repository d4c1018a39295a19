// The rip command: looks for CD-ROM drives and opens the ripper on them.
#include "FrmMain.h"
#include "ripper/FrmISOBuilder.h"
#include "ripper/VolumeFiles.h"

namespace velmor {

void TFrmMain::btnRipClick() {
  const std::vector<std::string> drives = CdromDrives();
  if (drives.empty()) {
    winkit::Dialogs().MessageBox(Handle(), "您的电脑没有发现光驱!无法使用压制功能!", Text(),
                                 winkit::kInfoFlags);
    return;
  }
  TFrmISOBuilder ripper(Handle(), [this](const std::string &path) { AddImageToList(path); });
  ripper.ComboBox1.Clear();
  for (const auto &drive : drives)
    ripper.ComboBox1.Add(drive);
  ripper.ComboBox1.Select(0);
  ripper.ShowModal();
}

} // namespace velmor
