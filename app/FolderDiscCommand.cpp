// A folder as a disc, from the drive menu or dropped onto the list: its contents are built into
// an image in the cache folder (as velmor-mkiso builds it) and the image is inserted; it is not
// added to the list, and its drive's eject deletes it.
#include "FrmMain.h"

#include "drive_client.h"
#include "folder_disc.h"
#include "isocreate/BuildProblemText.h"
#include "winkit/Application.h"
#include "winkit/Dialogs.h"

namespace velmor {

namespace {

std::string FolderDiscFailureText(const std::string &folder, const FolderDisc &disc) {
  const std::string head = "无法把文件夹 \"" + folder + "\" 装载为光盘: ";
  switch (disc.failure) {
  case FolderDisc::Failure::kNoCacheFolder:
    return head + "用户的本地应用程序数据中没有存放映像的目录.";
  case FolderDisc::Failure::kTooMany:
    return head + LeftOutText(disc.leftOut.back());
  case FolderDisc::Failure::kWrite:
    return head + "\r\n" + WriteFailureMessage(disc.write);
  case FolderDisc::Failure::kNone:
    break;
  }
  return head + "映像没有写成.";
}

} // namespace

void TFrmMain::MountFolderClick() {
  std::string folder;
  if (winkit::Dialogs().PickFolder(Handle(), "选择要装载为光盘的文件夹", folder))
    MountFolder(folder);
}

void TFrmMain::MountFolder(const std::string &folder) {
  CleanFolderDiscCache(*drives_);
  // Copying a large folder takes minutes: the window keeps painting meanwhile, and nothing in it
  // can be used until the image is there.
  FolderDisc disc;
  const std::string cacheFolder = drives_->CacheFolder();
  StatusBar1.SetText("正在把文件夹 \"" + folder + "\" 复制为光盘映像...");
  try {
    winkit::App().RunAside(
        Handle(), [&] { disc = BuildFolderDisc(NativePlatform(), *drives_, folder, cacheFolder); });
  } catch (...) {
    StatusBar1.SetText("");
    throw;
  }
  StatusBar1.SetText("");
  if (disc.image.empty())
    return ShowDriveMessage(FolderDiscFailureText(folder, disc), winkit::kErrorFlags);
  InsertImage(disc.image);
  // A refused insert leaves no drive to delete the image with.
  bool recorded = false;
  for (const auto &value : drives_->DriveValues())
    recorded = recorded || value.second == disc.image;
  if (!recorded)
    RemoveFolderDiscImage(*drives_, disc.image);
  disc.lock.Release(); // held from the build until here, away from other runs' clean-ups
  if (disc.leftOut.empty())
    return;
  std::string text = "文件夹 \"" + folder + "\" 中的以下内容没有放入光盘:";
  for (const LeftOutItem &item : disc.leftOut)
    text += "\r\n" + item.Path + ": " + LeftOutText(item);
  ShowDriveMessage(text, winkit::kInfoFlags);
}

} // namespace velmor
