#include <cstring>

#include "problem_words.h"

namespace velmor::mkiso {

std::string SystemText(std::uint32_t Code) {
  return Code == 0 ? std::string() : std::strerror(static_cast<int>(Code));
}

} // namespace velmor::mkiso
