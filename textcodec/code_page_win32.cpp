// The system's ANSI code page (CP_ACP), as every "A" function of the program reads its text.
#include "code_page.h"

#include <windows.h>

namespace velmor::text {

std::u16string AnsiToUtf16(std::string_view text) {
  const int bytes = static_cast<int>(text.size());
  const int units = bytes ? MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0) : 0;
  std::u16string out(static_cast<std::size_t>(units > 0 ? units : 0), u'\0');
  if (units > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, reinterpret_cast<wchar_t *>(out.data()),
                        units);
  return out;
}

std::string Utf16ToAnsi(std::u16string_view text) {
  const auto *wide = reinterpret_cast<const wchar_t *>(text.data());
  const int units = static_cast<int>(text.size());
  const int bytes =
      units ? WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr) : 0;
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0)
    WideCharToMultiByte(CP_ACP, 0, wide, units, out.data(), bytes, nullptr, nullptr);
  return out;
}

unsigned AnsiCharLength(unsigned char lead) { return IsDBCSLeadByteEx(CP_ACP, lead) ? 2 : 1; }

} // namespace velmor::text
