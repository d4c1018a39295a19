#include "problem_words.h"

namespace velmor::mkiso {

namespace {

std::string WithSystemText(const std::string &words, std::uint32_t code) {
  return code == 0 ? words : words + ": " + SystemText(code);
}

const char *ReasonWords(LeftOutReason reason) {
  switch (reason) {
  case LeftOutReason::kNone:
    break;
  case LeftOutReason::kNameTooLong:
    return "name of more than 127 characters";
  case LeftOutReason::kNameTaken:
    return "its name is taken in the image";
  case LeftOutReason::kFolderUnreadable:
    return "folder cannot be read";
  case LeftOutReason::kNotFound:
    return "no such file";
  case LeftOutReason::kNoPlace:
    return "no place for it in the tree";
  case LeftOutReason::kTooManyFolders:
    return "too many folders for one image";
  case LeftOutReason::kTooManyFiles:
    return "too many files for one image";
  case LeftOutReason::kBrokenLink:
    return "link to nothing";
  case LeftOutReason::kLinkToFolder:
    return "link to a folder";
  case LeftOutReason::kNotFileOrFolder:
    return "not a regular file or folder";
  case LeftOutReason::kNameOutsideCodePage:
    return "name has characters outside the code page";
  case LeftOutReason::kDataScattered:
    return "its data is scattered in the image it comes from";
  }
  return "left out";
}

} // namespace

std::string LeftOutWords(const LeftOutItem &Item) {
  std::string words = ReasonWords(Item.Reason);
  if (IsLimit(Item.Reason))
    words += " (at most " + std::to_string(Item.Limit) + ")";
  return WithSystemText(words, Item.SystemCode);
}

std::string LeftOutLine(const LeftOutItem &Item) {
  return Item.Path + ": " + LeftOutWords(Item) + (IsLimit(Item.Reason) ? "" : ", left out");
}

std::string FailureWords(const WriteFailure &Failure) {
  const std::string path = Failure.Path + ": ";
  switch (Failure.Kind) {
  case WriteFailureKind::kNone:
    return {};
  case WriteFailureKind::kAborted:
    return "the write was given up";
  case WriteFailureKind::kSourceUnopenable:
    return WithSystemText(path + "cannot be opened", Failure.SystemCode);
  case WriteFailureKind::kSourceChanged:
    return WithSystemText(path + "changed while the image was written", Failure.SystemCode);
  case WriteFailureKind::kImageUncreatable:
    return WithSystemText(path + "cannot be created", Failure.SystemCode);
  case WriteFailureKind::kImageUnwritable:
    return WithSystemText(path + "cannot be written", Failure.SystemCode);
  case WriteFailureKind::kInternal:
    break;
  }
  return "internal error: the tree changed after its layout, or memory ran out";
}

} // namespace velmor::mkiso
