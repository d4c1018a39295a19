#include "descriptor_text.h"

#include <cstring>

#include "byte_fields.h"

namespace velmor::formats {
namespace {

// Larger than any cue sheet or control file of 99 tracks with comments.
constexpr uint64_t kMaxDescriptorBytes = 1 << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Notepad's "Unicode" and "Unicode big endian": a byte-order mark, then pairs of bytes.
bool IsUtf16(const std::string &bytes) {
  return bytes.size() % 2 == 0 &&
         (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0);
}

// The text after the mark as UTF-8 with a mark of its own, which the readers take as UTF-8
// names; a zero unit ends the text.
std::string Utf16TextToUtf8(const std::string &bytes) {
  const bool little = bytes[0] == '\xFF';
  std::u16string units;
  for (size_t i = 2; i < bytes.size(); i += 2) {
    const auto first = uint8_t(bytes[i]), second = uint8_t(bytes[i + 1]);
    const char16_t unit = little ? char16_t(second << 8 | first) : char16_t(first << 8 | second);
    if (unit == 0)
      break;
    units += unit;
  }
  return "\xEF\xBB\xBF" + Utf16ToUtf8(units);
}

} // namespace

bool ReadDescriptorText(ImageFiles &files, const std::u16string &path, DescriptorText *text) {
  uint64_t size = 0;
  if (!files.Size(path, &size) || size > kMaxDescriptorBytes)
    return false;
  std::string bytes(size_t(size), '\0');
  uint32_t got = 0;
  if (size > 0 && (!files.Read(path, 0, bytes.data(), uint32_t(size), &got) || got != size))
    return false;
  if (IsUtf16(bytes)) {
    bytes = Utf16TextToUtf8(bytes);
    text->utf8 = true;
  } else {
    if (std::memchr(bytes.data(), 0, bytes.size()) != nullptr)
      return false;
    text->utf8 = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
  }
  text->lines.clear();
  size_t at = text->utf8 ? 3 : 0;
  // Lines end in CR LF, LF, or a lone CR (as old Mac editors save them).
  while (at < bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", at);
    if (end == std::string::npos)
      end = bytes.size();
    text->lines.push_back(bytes.substr(at, end - at));
    at = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return true;
}

FormatError ReadDescriptorOrFail(ImageFiles &files, const std::u16string &path,
                                 DescriptorText *text) {
  FormatError e;
  if (!ReadDescriptorText(files, path, text)) {
    e.reason = FormatError::Reason::kUnreadable;
    e.file = path;
  }
  return e;
}

std::string Trim(const std::string &line) {
  size_t begin = 0, end = line.size();
  while (begin < end && IsBlank(line[begin]))
    ++begin;
  while (end > begin && IsBlank(line[end - 1]))
    --end;
  return line.substr(begin, end - begin);
}

bool SameWord(const std::string &a, const char *b) {
  const size_t n = std::strlen(b);
  if (a.size() != n)
    return false;
  for (size_t i = 0; i < n; ++i) {
    const auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    if (up(a[i]) != up(b[i]))
      return false;
  }
  return true;
}

bool ParseNumber(const std::string &text, int64_t *value) {
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  at += negative;
  const bool hex = text.size() > at + 2 && text[at] == '0' && (text[at + 1] | 0x20) == 'x';
  at += hex ? 2 : 0;
  if (at >= text.size())
    return false;
  int64_t v = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f')
      digit = (c | 0x20) - 'a' + 10;
    else
      return false;
    v = v * (hex ? 16 : 10) + digit;
    if (v > (int64_t(1) << 40))
      return false;
  }
  *value = negative ? -v : v;
  return true;
}

} // namespace velmor::formats
