#include "BuildProblemText.h"

#include "winkit/SystemError.h"

namespace velmor {

namespace {

const char *ReasonText(LeftOutReason reason) {
  switch (reason) {
  case LeftOutReason::kNone:
    break;
  case LeftOutReason::kNameTooLong:
    return "名称超过127个字符";
  case LeftOutReason::kNameTaken:
    return "映像中已有同名的项";
  case LeftOutReason::kFolderUnreadable:
    return "无法读取该目录";
  case LeftOutReason::kNotFound:
    return "找不到该文件";
  case LeftOutReason::kNoPlace:
    return "无法在映像中建立它的目录";
  case LeftOutReason::kTooManyFolders:
    return "超出了映像能容纳的目录数";
  case LeftOutReason::kTooManyFiles:
    return "超出了映像能容纳的文件数";
  case LeftOutReason::kBrokenLink:
    return "链接的目标不存在";
  case LeftOutReason::kLinkToFolder:
    return "指向目录的链接";
  case LeftOutReason::kNotFileOrFolder:
    return "既不是文件也不是目录";
  case LeftOutReason::kNameOutsideCodePage:
    return "名称含有当前代码页以外的字符";
  case LeftOutReason::kDataScattered:
    return "其数据在原映像中不连续";
  }
  return "未能收入";
}

} // namespace

std::string LeftOutText(const LeftOutItem &Item) {
  std::string text = ReasonText(Item.Reason);
  if (IsLimit(Item.Reason))
    text += "(最多" + std::to_string(Item.Limit) + "个)";
  if (Item.SystemCode != 0)
    text += ": " + winkit::SystemErrorText(Item.SystemCode);
  return text;
}

std::string WriteFailureMessage(const WriteFailure &Failure) {
  const std::string quoted = "\"" + Failure.Path + "\"";
  std::string sentence;
  switch (Failure.Kind) {
  case WriteFailureKind::kSourceUnopenable:
    sentence =
        "无法打开源文件" + quoted + ":它已不存在,或正被其他程序使用.请关闭使用它的程序后再试.";
    break;
  case WriteFailureKind::kImageUncreatable:
    sentence = "无法创建映像文件" + quoted + ".请确认保存路径的目录存在并且可以写入.";
    break;
  case WriteFailureKind::kImageUnwritable:
    sentence = "无法写入映像文件" + quoted + ".请确认磁盘有足够的空间后再试.";
    break;
  case WriteFailureKind::kSourceChanged:
    sentence = "源文件" + quoted + "在压制过程中被改动了,映像不完整.请在它不再改动时重新压制.";
    break;
  default:
    sentence = "压制过程中出现了错误.请检查源文件和保存路径后再试.";
    break;
  }
  return winkit::WithSystemReason("压制失败!\r\n" + sentence, Failure.SystemCode);
}

} // namespace velmor
