#include "TargetFile.h"

#include "Dialogs.h"
#include "InputChecks.h"
#include "SystemError.h"

namespace winkit {

bool TakeTargetPath(const Window &owner, const Control &pathBox, std::string &path) {
  auto say = [&](const std::string &text) {
    Dialogs().MessageBox(owner.Handle(), text, owner.Text(), kInfoFlags);
    return false;
  };
  path = TrimBlanks(pathBox.Text());
  if (path.empty()) {
    say("请先选择文件保存路径!");
    SetFocus(pathBox.Handle());
    return false;
  }
  if (FileExists(path)) {
    if (Dialogs().MessageBox(owner.Handle(), "目标文件已经存在,您要覆盖它吗?", owner.Text(),
                             kAskFlags) == IDNO)
      return false;
    if (!DeleteFileA(path.c_str()))
      return say(WithSystemReason("覆盖失败,无法创建ISO文件!", GetLastError()));
  }
  return true;
}

} // namespace winkit
