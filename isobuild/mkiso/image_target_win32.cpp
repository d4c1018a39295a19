#include "image_target.h"
#include "problem_words.h"
#include "served_images.h"

#include <windows.h>

namespace velmor::mkiso {

namespace {

// Whether Path names something that is not a file on a disk (a device such as NUL, a pipe).
bool IsStream(const std::string &path) {
  const HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return false;
  const DWORD type = GetFileType(h);
  CloseHandle(h);
  return type != FILE_TYPE_DISK && type != FILE_TYPE_UNKNOWN;
}

} // namespace

bool IdentifyFile(const std::string &Path, FileIdentity &Out) {
  // No access asked for: the file may be open elsewhere without sharing.
  const HANDLE h =
      CreateFileA(Path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!known)
    return false;
  Out = {info.dwVolumeSerialNumber,
         (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

bool ImageTarget::Open(const std::string &Argument, std::string &Error) {
  target_ = Argument;
  if (Argument == "-") {
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR) {
      Error = "standard output is a console";
      return false;
    }
    kind_ = Kind::StandardOutput;
    return true;
  }
  const DWORD attributes = GetFileAttributesA(Argument.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    Error = "is a directory";
    return false;
  }
  if (IsStream(Argument)) {
    kind_ = Kind::Stream;
    return true;
  }
  // An image one of our drives reads is never written over, by whatever name it is given.
  const ServedTarget served = FirstServed(SystemServedImages(), {Argument});
  if (served.image.letter) {
    Error = std::string("drive ") + served.image.letter + ": reads this image";
    if (served.image.path != Argument)
      Error += " (" + served.image.path + ")";
    return false;
  }
  kind_ = Kind::File;
  // The folder part, found by characters: the second byte of a GBK character may be 0x5C.
  std::size_t end = 0;
  for (std::size_t i = 0; i < Argument.size(); ++i) {
    const char c = Argument[i];
    if (IsDBCSLeadByte(static_cast<BYTE>(c)) && i + 1 < Argument.size())
      ++i;
    else if (c == '\\' || c == '/' || c == ':')
      end = i + 1;
  }
  const std::string folder = end == 0 ? "." : Argument.substr(0, end);
  char name[MAX_PATH];
  if (!GetTempFileNameA(folder.c_str(), "vmk", 0, name)) {
    Error = SystemText(GetLastError());
    return false;
  }
  temporary_ = name;
  Identify();
  return true;
}

bool ImageTarget::Commit(std::string &Error) {
  if (temporary_.empty())
    return true;
  if (!MoveFileExA(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    Error = SystemText(GetLastError());
    return false;
  }
  temporary_.clear();
  return true;
}

void ImageTarget::Discard() {
  if (!temporary_.empty())
    DeleteFileA(temporary_.c_str());
  temporary_.clear();
}

} // namespace velmor::mkiso
