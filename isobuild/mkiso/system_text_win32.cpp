#include <windows.h>

#include "problem_words.h"

namespace velmor::mkiso {

std::string SystemText(std::uint32_t Code) {
  if (Code == 0)
    return {};
  char text[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, Code, 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  return s.empty() ? "error " + std::to_string(Code) : s;
}

} // namespace velmor::mkiso
