#include "byte_fields.h"

namespace velmor::formats {

bool ReadExactly(ImageFiles &files, const std::u16string &path, uint64_t offset, uint64_t length,
                 std::string *bytes) {
  bytes->assign(length, '\0');
  for (uint64_t done = 0; done < length;) {
    const uint32_t chunk = uint32_t(std::min<uint64_t>(length - done, 1u << 20));
    uint32_t got = 0;
    if (!files.Read(path, offset + done, bytes->data() + done, chunk, &got) || got == 0)
      return false;
    done += got;
  }
  return true;
}

std::string Utf16ToUtf8(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    const bool high = c >= 0xD800 && c < 0xDC00;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;
    if (c < 0x80) {
      out += char(c);
      continue;
    }
    const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    static constexpr uint8_t kLead[] = {0, 0xC0, 0xE0, 0xF0};
    out += char(kLead[extra] | c >> (6 * extra));
    for (int k = extra - 1; k >= 0; --k)
      out += char(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return out;
}

FormatError FieldError(FormatError::Reason reason, const std::u16string &file, std::string field) {
  FormatError e;
  e.reason = reason;
  e.file = file;
  e.field = std::move(field);
  return e;
}

} // namespace velmor::formats
