// "文件 > 卸载虚拟光驱驱动程序": after the user confirms, every drive is ejected and the driver,
// its service, its registry key and Explorer's verb are removed; image files stay. Each step
// that fails is listed, and a later insert installs the driver again.
#include "FrmMain.h"

#include "drive_client.h"
#include "server_channel.h"
#include "winkit/SystemError.h"

namespace velmor {
namespace {

constexpr char kUninstallQuestion[] =
    "卸载将弹出所有虚拟光驱, 并删除虚拟光驱驱动程序、它的服务和注册表项, 以及资源管理器右键菜单中的"
    "装载命令. 映像文件不会被删除.\r\n\r\n确定要卸载吗?";

std::string Detail(uint32_t code) {
  if (code == 0)
    return {}; // a stop accepted that did not end: the system has nothing to say
  return " (" + winkit::SystemErrorText(DWORD(code)) + " 错误 " + std::to_string(code) + ")";
}

std::string FailureLine(const UninstallFailure &f) {
  using Step = UninstallFailure::Step;
  switch (f.step) {
  case Step::kEject:
    return "无法弹出虚拟光驱 " + std::string(1, f.letter) + ":";
  case Step::kDriveInUse:
    return "虚拟光驱 " + std::string(1, f.letter) + ": 仍被程序占用, 因此没有停止驱动程序服务 " +
           kServiceName + ", 驱动程序在重新启动计算机之前仍在运行";
  case Step::kServiceManager:
    return "无法打开服务管理器, 请以管理员身份运行本程序" + Detail(f.code);
  case Step::kStopService:
    return std::string("无法停止驱动程序服务 ") + kServiceName +
           ", 驱动程序在重新启动计算机之前仍在运行" + Detail(f.code);
  case Step::kDeleteService:
    return std::string("无法删除驱动程序服务 ") + kServiceName + Detail(f.code);
  case Step::kDriverFile:
    return "驱动程序文件 \"" + f.path + "\" 现在无法删除, 将在重新启动计算机时删除" +
           Detail(f.code);
  case Step::kServiceKey:
    return std::string(
               "无法删除注册表项 HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\") +
           kServiceName + Detail(f.code);
  case Step::kShellVerbs:
    return "无法删除资源管理器右键菜单中的装载命令" + Detail(f.code);
  case Step::kImageServer:
    return std::string("无法删除映像服务 ") + channel::kServerServiceName + " (\"" + f.path +
           "\"), 它的文件将在重新启动计算机时删除" + Detail(f.code);
  }
  return {};
}

} // namespace

void TFrmMain::UninstallClick() {
  if (winkit::Dialogs().MessageBox(Handle(), kUninstallQuestion, Text(), winkit::kAskFlags) !=
      IDYES)
    return;
  const std::vector<UninstallFailure> failed = Uninstall(*drives_);
  RefreshDriveTree();
  if (failed.empty())
    return ShowDriveMessage("虚拟光驱驱动程序已卸载.", winkit::kInfoFlags);
  std::string text = "卸载未能全部完成:";
  for (const UninstallFailure &f : failed)
    text += "\r\n- " + FailureLine(f);
  ShowDriveMessage(text, winkit::kErrorFlags);
}

} // namespace velmor
