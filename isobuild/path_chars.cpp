#include "path_chars.h"

#include <cstring>

namespace velmor {

namespace {
bool IsSeparator(char c, const char *seps) { return c != '\0' && std::strchr(seps, c); }
} // namespace

std::size_t FindSeparator(const std::string &path, const char *seps, const CharTable &chars,
                          std::size_t from) {
  for (std::size_t i = from; i < path.size();
       i += chars.Length(static_cast<unsigned char>(path[i])))
    if (IsSeparator(path[i], seps))
      return i;
  return std::string::npos;
}

std::size_t FindLastSeparator(const std::string &path, const char *seps, const CharTable &chars) {
  std::size_t last = std::string::npos;
  for (std::size_t i = 0; i < path.size(); i += chars.Length(static_cast<unsigned char>(path[i])))
    if (IsSeparator(path[i], seps))
      last = i;
  return last;
}

bool EndsWithSeparator(const std::string &path, const char *seps, const CharTable &chars) {
  // Most paths end in a letter: only a final separator byte needs the walk from the start.
  if (path.empty() || !IsSeparator(path.back(), seps))
    return false;
  return FindLastSeparator(path, seps, chars) == path.size() - 1;
}

} // namespace velmor
