// The drive panel: a tree of the recorded drives under one root node with the product title,
// and the commands on drives (insert, eject, browse). A short clip plays after every insert
// and eject; when it ends the tree is rebuilt, so it shows the drive as the system has it by
// then. An image that the driver could not open in every thread and at every start (missing,
// a folder, on a network or SUBST drive), or whose descriptor or contents cannot be mounted, is
// refused with a message naming it; one with no known volume is mounted only if the user says so.
#include "FrmMain.h"

#include "ExecutablePath.h"
#include "ProductInfo.h"
#include "drive_client.h"
#include "image_check.h"
#include "mount_plan.h"
#include "recorded_drives.h"
#include "served_client.h"
#include "winkit/Dialogs.h"
#include "winkit/SystemError.h"

#include <commctrl.h>
#include <shellapi.h>

namespace velmor {

namespace {

std::string ErrorNumber(uint32_t code) { return " (错误 " + std::to_string(code) + ")"; }

// Why a served drive is not mounted, as its server tells it.
std::string ServedNotMountedText(const RecordedDrive &drive) {
  using channel::NotMounted;
  if (!drive.serverRunning)
    return "映像服务未运行";
  switch (drive.servedState) {
  case NotMounted::kMounted:
    break;
  case NotMounted::kUnreachable:
    return "无法打开映像文件" + ErrorNumber(drive.servedCode);
  case NotMounted::kIdentityChanged:
    return "映像文件在插入后已被更换";
  case NotMounted::kImageBroken:
    return "映像服务无法读取映像文件";
  case NotMounted::kNotMade:
    return "无法创建光驱" + ErrorNumber(drive.servedCode);
  case NotMounted::kReleased:
    return "驱动程序更新期间已暂时移除";
  }
  return "映像服务中没有这个光驱";
}

// Why a recorded drive has no drive now, as the driver tells it.
std::string NotMountedText(const RecordedDrive &drive) {
  if (drive.served)
    return ServedNotMountedText(drive);
  if (!drive.driverRunning)
    return "驱动程序未运行";
  switch (drive.reason) {
  case SkipReason::kNone:
    break;
  case SkipReason::kNoIdentity:
    return "记录中没有映像文件的标识";
  case SkipReason::kIdentityChanged:
    return "映像文件在插入后已被更换";
  case SkipReason::kFileMissing:
    return "找不到映像文件";
  case SkipReason::kFileRefused:
    return "映像文件不是本机磁盘上的普通文件";
  case SkipReason::kLayoutBroken:
    return "记录的光盘布局已损坏";
  case SkipReason::kNotMade:
    return "无法创建光驱 (盘符已被占用或内存不足)";
  case SkipReason::kServed:
    return "映像由服务程序提供, 服务程序尚未重新创建光驱";
  }
  return "驱动程序中没有这个光驱";
}

} // namespace

// A recorded drive that the driver does not serve (start-up skipped it) is shown greyed, with
// the reason: inserting its image at its letter again or ejecting it settles it.
void TFrmMain::RefreshDriveTree() {
  const auto drives = RecordedDrives(*drives_); // read whole before the tree changes
  const HTREEITEM was = DriveTree.Selected();
  const std::string selected = was ? DriveTree.Text(was) : std::string();
  DriveTree.Clear();
  AddRootNode(DriveTree, kProductTitle);
  for (const RecordedDrive &drive : drives) {
    const std::string letter(1, drive.letter);
    if (drive.mounted) {
      // A folder disc shows the folder it holds, its label being the folder's name.
      const std::string shown = ShownImagePath(*drives_, drive.path);
      AddChildNode(
          DriveTree, kProductTitle,
          letter + ":(" + (shown != drive.path ? shown : DriveVolumeLabel(drive.letter)) + ")", 1);
    } else if (const HTREEITEM node =
                   AddChildNode(DriveTree, kProductTitle,
                                letter + ":(未加载: " + NotMountedText(drive) + ")", 1)) {
      TreeView_SetItemState(DriveTree.Handle(), node, TVIS_CUT, TVIS_CUT);
    }
  }
  for (HTREEITEM n = DriveTree.FirstRoot(); n; n = DriveTree.NextSibling(n))
    DriveTree.Expand(n);
  // The keyboard always has a node to go on from: the drive selected before if it is still
  // there, else the first drive (after an eject), else the root.
  const HTREEITEM root = DriveTree.FirstRoot();
  HTREEITEM next = DriveTree.FirstChild(root) ? DriveTree.FirstChild(root) : root;
  for (HTREEITEM c = DriveTree.FirstChild(root); c; c = DriveTree.NextSibling(c))
    if (selected != kProductTitle && !selected.empty() &&
        DriveTree.Text(c).compare(0, 1, selected, 0, 1) == 0)
      next = c;
  DriveTree.Select(next);
}

std::string TFrmMain::DriveVolumeLabel(char letter) {
  if (drives_->DriveType(letter) != kDriveCdrom)
    return {};
  return drives_->VolumeLabel(letter);
}

void TFrmMain::AddRootNode(winkit::TreeView &tree, const std::string &text) {
  for (HTREEITEM n = tree.FirstRoot(); n; n = tree.NextSibling(n))
    if (tree.Text(n) == text)
      return;
  tree.Append(TVI_ROOT, text, 0, 0);
}

HTREEITEM TFrmMain::AddChildNode(winkit::TreeView &tree, const std::string &parentText,
                                 const std::string &childText, int image) {
  for (HTREEITEM p = tree.FirstRoot(); p; p = tree.NextSibling(p))
    if (tree.Text(p) == parentText)
      for (HTREEITEM c = tree.FirstChild(p); c; c = tree.NextSibling(c))
        if (tree.Text(c) == childText)
          return c;
  HTREEITEM added = nullptr;
  for (HTREEITEM p = tree.FirstRoot(); p; p = tree.NextSibling(p))
    if (tree.Text(p) == parentText)
      added = tree.Append(p, childText, image, image);
  return added;
}

namespace {

constexpr char kNoFreeLetterText[] = "没有空闲的盘符, 无法插入虚拟光驱!\r\n请先弹出不再使用的光驱.";

std::string ImageRefusalText(ImageRefusal why, const std::string &path) {
  const std::string quoted = "\"" + path + "\"";
  switch (why) {
  case ImageRefusal::kNone:
    break;
  case ImageRefusal::kMissing:
    return "找不到映像文件 " + quoted + ", 无法插入虚拟光驱!";
  case ImageRefusal::kFolder:
    return quoted + " 是文件夹, 不是映像文件, 无法插入虚拟光驱!";
  case ImageRefusal::kNoDriveLetter:
    return "映像文件 " + quoted + " 不在带盘符的驱动器上, 无法插入虚拟光驱!";
  case ImageRefusal::kNetworkDrive:
    return "映像文件 " + quoted +
           " 在网络驱动器上, 无法插入虚拟光驱!\r\n请先把它复制到本机的磁盘上.";
  case ImageRefusal::kSubstDrive:
    return "映像文件 " + quoted +
           " 在用 SUBST 映射的盘符上, 无法插入虚拟光驱!\r\n请使用它所在文件夹的实际路径.";
  case ImageRefusal::kTooLong:
    return "映像文件的路径太长 (最多 495 个字符), 无法插入虚拟光驱!\r\n" + path;
  }
  return {};
}

// Why an image's descriptor or contents are refused: the file, the line or field, the reason.
// A missing file is named after the descriptor that names it.
std::string FormatErrorText(DriveSystem &system, const std::string &image,
                            const formats::FormatError &e) {
  using Reason = formats::FormatError::Reason;
  const std::string file = "\"" + system.Utf16ToAnsi(e.file) + "\"";
  std::string where = e.reason == Reason::kMissingFile ? "\"" + image + "\"" : file;
  if (e.line)
    where += " 第 " + std::to_string(e.line) + " 行";
  else if (!e.field.empty())
    where += " 的 " + e.field + " 字段";
  const std::string word = e.field.empty() || !e.line ? "" : " (\"" + e.field + "\")";
  std::string why;
  switch (e.reason) {
  case Reason::kNone:
  case Reason::kUnreadable:
    why = where + " 无法读取";
    break;
  case Reason::kMissingFile:
    why = where + " 指定的文件 " + file + " 不存在";
    break;
  case Reason::kUnsupportedMode:
    why = where + " 的轨道模式或扇区大小不受支持" + word;
    break;
  case Reason::kTrackOrder:
    why = where + " 的轨道重叠、顺序错乱或编号不连续" + word;
    break;
  case Reason::kTruncated:
    why = where + " 不完整" + word;
    break;
  case Reason::kSyntax:
    why = where + " 无法识别" + word;
    break;
  case Reason::kTooManyTracks:
    why = where + " 的轨道或文件超过 99 个";
    break;
  case Reason::kNamesTooLong:
    why = e.field == "together"
              ? "映像 " + file + " 的各文件完整路径合计太长 (合计不能超过 16384 个 UTF-16 字符)"
              : where + " 中的文件名太长" + word;
    break;
  case Reason::kNotUnderstood:
    why = "映像描述文件 " + file + " 无法识别 (CUE 文件须有 FILE、TRACK 和 INDEX 行)";
    break;
  case Reason::kTooSmall:
    why = "映像文件 " + file + " 太小 (不足 18 个扇区), 装不下光盘卷";
    break;
  case Reason::kPastFileEnd:
    why =
        where + " 的位置" + word + "超出了文件 \"" + system.Utf16ToAnsi(e.trackFile) + "\" 的末尾";
    break;
  case Reason::kPostgapTooLong:
    why = where + " 的 POSTGAP 太长" + word + " (最多 65535 个扇区)";
    break;
  case Reason::kLongerThanCd:
    why = "映像描述文件 " + file + " 中光盘的结束位置超过了 99:59:74 (CD 目录所能记录的最大地址)";
    break;
  }
  return why + ", 无法插入虚拟光驱!";
}

std::string NoVolumeQuestion(const std::string &path) {
  return "映像文件 \"" + path +
         "\" 中找不到 ISO 9660 或 UDF 光盘卷, 插入后可能无法读取.\r\n仍要插入虚拟光驱吗?";
}

constexpr char kNotAdministratorText[] = "插入失败!,请确定您拥有管理员身份!";
constexpr char kRestartNeededText[] = "正在运行的虚拟光驱驱动程序是另一个版本, 无法停止.\r\n"
                                      "新的驱动程序已经安装, 重新启动计算机后生效.";

// Why the driver could not be installed or started, with the system's text as detail.
std::string InstallFailureText(const InstallFailure &f) {
  const std::string file = "\"" + f.driverPath + "\"";
  const std::string detail = winkit::CodeDetail(f.code);
  switch (ProblemOf(f)) {
  case InstallProblem::kNeedsAdministrator:
    break;
  case InstallProblem::kDiskFull:
    return "插入失败!磁盘空间不足, 无法写入驱动程序文件 " + file + "!\r\n请腾出磁盘空间后再试." +
           detail;
  case InstallProblem::kDriverFileDenied:
    return "插入失败!无权写入驱动程序文件 " + file + "!\r\n请以管理员身份运行本程序." + detail;
  case InstallProblem::kDriverFileNotWritten:
    return "插入失败!无法写入驱动程序文件 " + file + "!" + detail;
  case InstallProblem::kServiceNotRegistered:
    return std::string("插入失败!无法注册驱动程序服务 ") + kServiceName + "!" + detail;
  case InstallProblem::kSignatureRefused:
    return "插入失败!Windows 拒绝加载驱动程序 " + file +
           ", 它的数字签名未被接受!\r\n64 位 Windows 只加载经过签名的驱动程序: 请开启测试签名模式 "
           "(bcdedit /set testsigning on) 并重新启动计算机." +
           detail;
  case InstallProblem::kDriverFileMissing:
    return "插入失败!找不到驱动程序文件 " + file + "!" + detail;
  case InstallProblem::kWrongProcessor:
    return "插入失败!驱动程序文件 " + file + " 不适用于本机的处理器!" + detail;
  case InstallProblem::kServiceNotStarted:
    return std::string("插入失败!无法启动驱动程序服务 ") + kServiceName + "!" + detail;
  }
  return kNotAdministratorText;
}

std::string ServerFailureText(const ServerFailure &f) {
  using Step = ServerFailure::Step;
  const std::string service = std::string("映像服务 ") + channel::kServerServiceName;
  const std::string detail = winkit::CodeDetail(f.code);
  switch (f.step) {
  case Step::kNone:
    break;
  case Step::kServerFile:
    return "插入失败!无法写入映像服务的文件 \"" + f.path + "\"!" + detail;
  case Step::kServiceManager:
    return "插入失败!无法打开服务管理器, 请以管理员身份运行本程序." + detail;
  case Step::kService:
    return "插入失败!无法注册" + service + "!" + detail;
  case Step::kStart:
    return "插入失败!无法启动" + service + "!" + detail;
  case Step::kNoAnswer:
    return "插入失败!" + service + " 没有响应!" + detail;
  }
  return "插入失败!无法连接" + service + "!";
}

// Why the image server did not make the drive: the image, then the reason.
std::string ServedMountText(const std::string &path, const channel::Reply &r) {
  using channel::Status;
  const std::string quoted = "\"" + path + "\"";
  const std::string detail = winkit::CodeDetail(r.code);
  const std::string drive = std::string(1, char(r.letter)) + ":";
  switch (r.status) {
  case Status::kOk:
    break;
  case Status::kBadRequest:
    return "映像服务无法理解对映像文件 " + quoted + " 的请求, 无法插入虚拟光驱!";
  case Status::kNotAdministrator:
    return kNotAdministratorText;
  case Status::kCannotOpen:
    return "无法打开映像文件 " + quoted + ", 无法插入虚拟光驱!" + detail;
  case Status::kOnOurDrive:
    return "映像文件 " + quoted + " 位于本程序的虚拟光驱上, 无法插入虚拟光驱!";
  case Status::kNotServedImage:
    return "映像文件 " + quoted + " 无法读取" + (r.text.empty() ? "" : ": " + r.text) +
           ", 无法插入虚拟光驱!";
  case Status::kLetterInUse:
  case Status::kNoFreeLetter:
    return kNoFreeLetterText;
  case Status::kDriverUnavailable:
    return "插入失败!映像服务无法连接虚拟光驱驱动程序!" + detail;
  case Status::kDriverRefused:
    return "驱动程序拒绝为映像文件 " + quoted + " 创建虚拟光驱 " + drive + "!" + detail;
  case Status::kRecordFailed:
    return "无法在注册表中记录虚拟光驱 " + drive + ", 已将它移除!" + detail;
  case Status::kNoSuchDrive:
  case Status::kTooLong:
    break;
  }
  return ImageRefusalText(ImageRefusal::kTooLong, path);
}

std::string RecordFailureText(const DriveRecordError &e) {
  return "无法在注册表中记录虚拟光驱 " + std::string(1, e.letter()) +
         ":, 已将它移除!\r\n请以管理员身份运行本程序." + winkit::CodeDetail(uint32_t(e.code()));
}

} // namespace

// Relative rows of the image list are relative to the list file's folder.
std::string TFrmMain::ImageListFolder() const {
  const std::string &file = store_.Path();
  return file.substr(
      0, DirectoryPartLength(file, [](unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }));
}

void TFrmMain::ShowDriveMessage(const std::string &text, unsigned flags) {
  winkit::Dialogs().MessageBox(Handle(), text, Text(), flags);
}

void TFrmMain::btnInjectClick() {
  const int row = ListView1.NextSelected();
  if (row >= 0)
    InsertImage(ImagePath(row));
}

void TFrmMain::InsertImage(const std::string &path) {
  const MountPlan plan = PlanMount(*drives_, path, ImageListFolder());
  const ImageCheck &image = plan.image;
  if (image.refusal != ImageRefusal::kNone)
    return ShowDriveMessage(ImageRefusalText(image.refusal, image.path), winkit::kInfoFlags);
  if (plan.detected.error)
    return ShowDriveMessage(FormatErrorText(*drives_, image.path, plan.detected.error),
                            winkit::kErrorFlags);
  if (plan.trackFile.refusal != ImageRefusal::kNone)
    return ShowDriveMessage(ImageRefusalText(plan.trackFile.refusal, plan.trackFile.path),
                            winkit::kInfoFlags);
  if (plan.verdict == MountPlan::Verdict::kAskFirst &&
      winkit::Dialogs().MessageBox(Handle(), NoVolumeQuestion(image.path), Text(),
                                   winkit::kAskFlags) != IDYES)
    return;
  if (!AnyDriveLetterFree(*drives_))
    return ShowDriveMessage(kNoFreeLetterText, winkit::kInfoFlags);
  InstallFailure failure;
  bool restartNeeded = false;
  DeviceHandle control = OpenControlDevice(*drives_, &failure, &restartNeeded);
  if (!control.valid()) {
    const bool needsAdministrator = ProblemOf(failure) == InstallProblem::kNeedsAdministrator;
    return ShowDriveMessage(InstallFailureText(failure),
                            needsAdministrator ? winkit::kInfoFlags : winkit::kErrorFlags);
  }
  if (plan.served) {
    control.reset(); // the server opens its own
    return InsertServedImage(image.path, restartNeeded);
  }
  AddResult added{};
  std::string recordFailure;
  try {
    added = AddVirtualDriveAtFreeLetter(*drives_, control, image.path, plan.Layout());
  } catch (const DriveRecordError &e) {
    recordFailure = RecordFailureText(e);
  }
  control.reset(); // before any message: the driver's control device is not held meanwhile
  if (!recordFailure.empty())
    return ShowDriveMessage(recordFailure, winkit::kErrorFlags);
  // Every letter taken by other inserts meanwhile.
  if (added.outcome == AddOutcome::kNoFreeLetter)
    return ShowDriveMessage(kNoFreeLetterText, winkit::kInfoFlags);
  // A refused request shows nothing: the rebuilt tree shows what the system has.
  PlayClip("INSERT");
  if (restartNeeded)
    ShowDriveMessage(kRestartNeededText, winkit::kInfoFlags);
}

// An image the server reads: the drive outlives this window (and the user's logoff).
void TFrmMain::InsertServedImage(const std::string &path, bool restartNeeded) {
  ServerFailure serverFailure;
  if (!EnsureImageServer(*drives_, &serverFailure))
    return ShowDriveMessage(ServerFailureText(serverFailure), winkit::kErrorFlags);
  const ServedMount mount = MountServedImage(*drives_, path, 0);
  if (mount.noFreeLetter)
    return ShowDriveMessage(kNoFreeLetterText, winkit::kInfoFlags);
  if (!mount.reached)
    return ShowDriveMessage(ServerFailureText({ServerFailure::Step::kNoAnswer, mount.reply.code,
                                               ServerBinaryPath(*drives_)}),
                            winkit::kErrorFlags);
  if (mount.reply.status != channel::Status::kOk)
    return ShowDriveMessage(ServedMountText(path, mount.reply), winkit::kErrorFlags);
  PlayClip("INSERT");
  if (restartNeeded)
    ShowDriveMessage(kRestartNeededText, winkit::kInfoFlags);
}

namespace {

// The drive letter of the selected node, or 0 when nothing or the root is selected.
char SelectedDriveLetter(const winkit::TreeView &tree) {
  const HTREEITEM node = tree.Selected();
  if (!node)
    return 0;
  const std::string text = tree.Text(node);
  return text == kProductTitle || text.empty() ? 0 : text[0];
}

} // namespace

void TFrmMain::btnEjectClick() {
  const char letter = SelectedDriveLetter(DriveTree);
  if (!letter)
    return;
  EjectVirtualDrive(*drives_, letter);
  PlayClip("EJECT");
}

void TFrmMain::O1Click() {
  const char letter = SelectedDriveLetter(DriveTree);
  if (!letter)
    return;
  const char root[] = {letter, ':', '\\', '\0'};
  ShellExecuteA(Handle(), nullptr, root, nullptr, nullptr, SW_SHOWNORMAL);
}

// Each command restarts the control with its own clip, played once, frames 1 to 10.
void TFrmMain::PlayClip(const char *name) {
  Animate1.Stop();
  Animate1.Open(name);
  Animate1.Play(1, 0, 9);
}

void TFrmMain::Animate1Start() { Animate1.Show(true); }

void TFrmMain::Animate1Stop() {
  Animate1.Show(false);
  RefreshDriveTree();
}

} // namespace velmor
