#include "image_check.h"

#include "drive_client.h"

namespace velmor {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool StartsWith(const std::string &text, const char *prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Looks at the first two bytes only: the first is never a GBK trail byte, and a trail byte
// may be 0x5C ("\") but never ':'.
std::string JoinToFolder(const std::string &folder, const std::string &given) {
  if (given.size() >= 2 && (given[1] == ':' || (IsSeparator(given[0]) && IsSeparator(given[1]))))
    return given;            // a drive path, drive-relative path, share or device path
  if (IsSeparator(given[0])) // from the root of the folder's drive
    return folder.size() >= 2 && folder[1] == ':' ? folder.substr(0, 2) + given : given;
  return folder + given;
}

// "\\?\C:\x" names C:\x and "\\?\UNC\server\share" names \\server\share; the driver takes
// neither prefix.
std::string WithoutLongPathPrefix(const std::string &path) {
  if (StartsWith(path, "\\\\?\\UNC\\"))
    return "\\" + path.substr(7);
  if (StartsWith(path, "\\\\?\\"))
    return path.substr(4);
  return path;
}

bool IsDrivePath(const std::string &path) {
  const char letter = UpperLetter(path.empty() ? '\0' : path[0]);
  return path.size() >= 3 && letter >= 'A' && letter <= 'Z' && path[1] == ':' &&
         IsSeparator(path[2]);
}

// A letter that stands for a share or for a folder names another file at start-up.
ImageRefusal CheckLetter(DriveSystem &system, char letter) {
  if (system.DriveType(letter) == kDriveRemote)
    return ImageRefusal::kNetworkDrive;
  // A SUBST letter's device name is the folder it stands for, "\??\C:\folder".
  if (StartsWith(system.DosDeviceTarget(letter), "\\??\\"))
    return ImageRefusal::kSubstDrive;
  return ImageRefusal::kNone;
}

} // namespace

ImageCheck CheckImagePath(DriveSystem &system, const std::string &given,
                          const std::string &baseFolder) {
  ImageCheck check{given, ImageRefusal::kNone};
  auto refuse = [&check](ImageRefusal why) {
    check.refusal = why;
    return check;
  };
  if (given.empty())
    return refuse(ImageRefusal::kMissing);
  const std::string full = system.FullPath(JoinToFolder(baseFolder, given));
  if (full.empty())
    return refuse(ImageRefusal::kMissing);
  check.path = WithoutLongPathPrefix(full);
  const std::string &path = check.path;
  if (StartsWith(path, "\\\\.\\") || StartsWith(path, "\\\\?\\"))
    return refuse(ImageRefusal::kNoDriveLetter);
  if (IsSeparator(path[0]) && path.size() > 1 && IsSeparator(path[1]))
    return refuse(ImageRefusal::kNetworkDrive);
  if (!IsDrivePath(path))
    return refuse(ImageRefusal::kNoDriveLetter);
  if (const ImageRefusal why = CheckLetter(system, UpperLetter(path[0]));
      why != ImageRefusal::kNone)
    return refuse(why);
  if (system.AnsiToUtf16(path).size() > kMaxDriveImagePathUnits)
    return refuse(ImageRefusal::kTooLong);
  switch (system.KindOfPath(path)) {
  case DriveSystem::PathKind::kMissing:
    return refuse(ImageRefusal::kMissing);
  case DriveSystem::PathKind::kFolder:
    return refuse(ImageRefusal::kFolder);
  case DriveSystem::PathKind::kFile:
    break;
  }
  return check;
}

ImageRefusal CheckTrackFilePath(DriveSystem &system, const std::u16string &path) {
  // The drive path's first three units are ASCII; anything else is no drive path.
  std::string start;
  for (size_t i = 0; i < 3 && i < path.size() && path[i] < 0x80; ++i)
    start += char(path[i]);
  if (!IsDrivePath(start))
    return ImageRefusal::kNoDriveLetter;
  if (path.size() > kMaxDriveImagePathUnits)
    return ImageRefusal::kTooLong;
  return CheckLetter(system, UpperLetter(start[0]));
}

} // namespace velmor
