#include <vector>

#include "readers.h"

namespace velmor::formats {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// "C:\..." "\\server\..." or "\..." : not relative to the descriptor's folder.
bool IsRooted(const std::u16string &name) {
  return (!name.empty() && IsSeparator(name[0])) || (name.size() >= 2 && name[1] == u':');
}

} // namespace

std::u16string FolderOf(const std::u16string &path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsSeparator(path[i - 1]))
      return path.substr(0, i);
  return {};
}

std::u16string WithExtension(const std::u16string &path, const std::u16string &extension) {
  const size_t base = FolderOf(path).size();
  const size_t dot = path.rfind(u'.');
  return (dot == std::u16string::npos || dot < base ? path : path.substr(0, dot)) + extension;
}

namespace {

// "C:\a\.\b\\..\c." as Windows reads it, "C:\a\c": the files are opened in the "\\?\" form,
// which takes a path as it stands, so the normalisation GetFullPathNameW would do happens
// here. Runs of separators count as one, "." is dropped, ".." drops the folder before it (never
// the root), a folder's single trailing dot goes, and so do the last name's trailing dots and
// blanks.
std::u16string NormaliseDrivePath(const std::u16string &path) {
  std::vector<std::u16string> names;
  size_t at = 3;
  while (at <= path.size()) {
    size_t end = at;
    while (end < path.size() && !IsSeparator(path[end]))
      ++end;
    std::u16string name = path.substr(at, end - at);
    at = end + 1;
    if (name == u"..") {
      if (!names.empty())
        names.pop_back();
    } else if (!name.empty() && name != u".") {
      names.push_back(std::move(name));
    }
  }
  std::u16string out = path.substr(0, 3);
  for (size_t i = 0; i < names.size(); ++i) {
    std::u16string &name = names[i];
    if (i + 1 == names.size()) {
      while (!name.empty() && (name.back() == u'.' || name.back() == u' '))
        name.pop_back();
    } else if (name.size() > 1 && name.back() == u'.' && name[name.size() - 2] != u'.') {
      name.pop_back();
    }
    out += name;
    if (i + 1 < names.size())
      out += u'\\';
  }
  return out;
}

} // namespace

std::u16string ResolveName(ImageFiles &files, const std::u16string &descriptor,
                           const std::string &name, bool utf8) {
  std::u16string wide = utf8 ? Utf8ToUtf16(name) : files.AnsiToUtf16(name);
  for (char16_t &c : wide)
    if (c == u'/')
      c = u'\\';
  const std::u16string folder = FolderOf(descriptor);
  const bool onDrive = folder.size() >= 3 && folder[1] == u':' && IsSeparator(folder[2]);
  if (!IsRooted(wide))
    wide = folder + wide;
  else if (onDrive && wide.size() >= 1 && IsSeparator(wide[0]) &&
           (wide.size() == 1 || !IsSeparator(wide[1])))
    wide = folder.substr(0, 2) + wide; // from the root of the descriptor's drive
  // Shares, devices and drive-relative names stay as written, for the drive's own refusals.
  const bool drivePath = wide.size() >= 3 && wide[1] == u':' && IsSeparator(wide[2]);
  return drivePath ? NormaliseDrivePath(wide) : wide;
}

} // namespace velmor::formats
