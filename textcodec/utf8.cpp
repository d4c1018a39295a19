#include "utf8.h"

namespace velmor::text {
namespace {

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf16(std::u16string &out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
    return;
  }
  out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
  out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
}

} // namespace

unsigned Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF)
    return 2;
  if (lead >= 0xE0 && lead <= 0xEF)
    return 3;
  if (lead >= 0xF0 && lead <= 0xF4)
    return 4;
  return 1;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  std::u16string out;
  out.reserve(text.size());
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned length = Utf8SequenceLength(s[i]);
    char32_t c = length == 1 ? s[i] : s[i] & (0x7F >> length);
    bool valid = length > 1 ? i + length <= text.size() : s[i] < 0x80;
    for (unsigned k = 1; valid && k < length; ++k) {
      valid = (s[i + k] & 0xC0) == 0x80;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (!valid || c < kLeast[length] || c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    AppendUtf16(out, c);
    i += length;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text, char32_t loneSurrogate) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (IsHighSurrogate(c) || IsLowSurrogate(c))
      c = loneSurrogate;
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(kLead[extra] | c >> (6 * extra));
    for (int k = extra - 1; k >= 0; --k)
      out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return out;
}

} // namespace velmor::text
