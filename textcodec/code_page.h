#pragma once
// The program's 8-bit ("ANSI") code page: the system's on Windows (GBK for our users), UTF-8 on
// other hosts. The seams through which the builder, the drive client and the image readers meet
// the system all derive from CodePage, so that the conversion is written once and a test can
// still put a code page of its own in its place.
#include <string>
#include <string_view>

namespace velmor {

namespace text {
std::u16string AnsiToUtf16(std::string_view text);
// Characters the code page lacks become '?'.
std::string Utf16ToAnsi(std::u16string_view text);
// Length in bytes of the character that starts with `lead` (1 for single-byte characters).
unsigned AnsiCharLength(unsigned char lead);
} // namespace text

class CodePage {
public:
  virtual ~CodePage() = default;
  virtual std::u16string AnsiToUtf16(const std::string &text) { return text::AnsiToUtf16(text); }
  virtual std::string Utf16ToAnsi(const std::u16string &text) { return text::Utf16ToAnsi(text); }
  virtual unsigned CharLength(unsigned char lead) { return text::AnsiCharLength(lead); }
};

} // namespace velmor
