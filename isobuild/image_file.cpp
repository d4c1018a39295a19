#include <vector>

#include "platform.h"

namespace velmor {

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
