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

FormatError FieldError(FormatError::Reason reason, const std::u16string &file, std::string field) {
  FormatError e;
  e.reason = reason;
  e.file = file;
  e.field = std::move(field);
  return e;
}

} // namespace velmor::formats
