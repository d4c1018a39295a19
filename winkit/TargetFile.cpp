#include "TargetFile.h"

#include "Dialogs.h"
#include "InputChecks.h"
#include "SystemError.h"

namespace winkit {
namespace {

// A question box lists this many files at most; 99 track files would leave the screen.
constexpr std::size_t kListedFiles = 12;

bool Say(const Window &owner, const std::string &text) {
  Dialogs().MessageBox(owner.Handle(), text, owner.Text(), kInfoFlags);
  return false;
}

} // namespace

bool TargetPathFrom(const Window &owner, const Control &pathBox, std::string &path) {
  path = TrimBlanks(pathBox.Text());
  if (!path.empty())
    return true;
  Say(owner, "请先选择文件保存路径!");
  SetFocus(pathBox.Handle());
  return false;
}

bool TakeTargetPath(const Window &owner, const Control &pathBox, std::string &path,
                    const TargetRefusal &refusal) {
  if (!TargetPathFrom(owner, pathBox, path))
    return false;
  if (const std::string refused = refusal ? refusal(path) : std::string(); !refused.empty())
    return Say(owner, refused);
  if (FileExists(path)) {
    if (Dialogs().MessageBox(owner.Handle(), "目标文件已经存在,您要覆盖它吗?", owner.Text(),
                             kAskFlags) == IDNO)
      return false;
    if (!DeleteFileA(path.c_str()))
      return Say(owner, WithSystemReason("覆盖失败,无法创建ISO文件!", GetLastError()));
  }
  return true;
}

std::string ServedImageText(const std::string &file, char letter, const std::string &image) {
  std::string text =
      "不能写入 " + file + "!\r\n它是虚拟光驱 " + std::string(1, letter) + ": 正在读取的映像文件";
  if (image != file)
    text += " " + image;
  return text + ", 请另选保存路径.";
}

bool AgreeToReplace(const Window &owner, const std::vector<std::string> &existing) {
  if (existing.empty())
    return true;
  std::string text = existing.size() == 1 ? "目标文件已经存在,您要覆盖它吗?"
                                          : "以下" + std::to_string(existing.size()) +
                                                "个文件已经存在,您要覆盖它们吗?";
  for (std::size_t i = 0; i < existing.size() && i < kListedFiles; ++i)
    text += "\r\n" + existing[i];
  if (existing.size() > kListedFiles)
    text += "\r\n……另有" + std::to_string(existing.size() - kListedFiles) + "个.";
  return Dialogs().MessageBox(owner.Handle(), text, owner.Text(), kAskFlags) == IDYES;
}

} // namespace winkit
