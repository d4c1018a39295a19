#include "ExecutablePath.h"

#include <windows.h>

#include <vector>

namespace velmor {

size_t DirectoryPartLength(const std::string &path, bool (*isLeadByte)(unsigned char)) {
  size_t dirLength = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (isLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size())
      ++i;
    else if (path[i] == '\\')
      dirLength = i + 1;
  }
  return dirLength;
}

std::string ExecutableDirectory() {
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size()) {
      std::string path(buf.data(), n);
      return path.substr(
          0, DirectoryPartLength(path, [](unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }));
    }
    buf.resize(buf.size() * 2);
  }
}

} // namespace velmor
