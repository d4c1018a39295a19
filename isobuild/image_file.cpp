#include <vector>

#include "platform.h"

namespace velmor {

bool SourceFile::Skip(std::uint64_t Count) {
  std::vector<char> dropped(static_cast<std::size_t>(Count < 65536 ? Count : 65536));
  while (Count > 0) {
    const std::size_t n = Count < dropped.size() ? static_cast<std::size_t>(Count) : dropped.size();
    if (Read(dropped.data(), n) != static_cast<std::int64_t>(n))
      return false;
    Count -= n;
  }
  return true;
}

bool ImageFile::WriteZeros(std::uint64_t Count) {
  static const std::vector<char> zeros(65536, 0);
  while (Count > 0) {
    const std::size_t n = Count < zeros.size() ? static_cast<std::size_t>(Count) : zeros.size();
    if (!Write(zeros.data(), n))
      return false;
    Count -= n;
  }
  return true;
}

} // namespace velmor
