// Fields of binary descriptors (MDS, NRG) read by offset from bytes held in memory. Every read
// is checked against the bytes' end first, so an offset taken from the file itself can never
// reach past what was read.
#pragma once

#include <cstdint>
#include <string>

#include "disc_image.h"
#include "utf8.h"

namespace velmor::formats {

class ByteFields {
public:
  explicit ByteFields(std::string bytes) : bytes_(std::move(bytes)) {}

  uint64_t size() const { return bytes_.size(); }
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  // Callers check Has first; a field out of range reads as zero.
  uint8_t U8(uint64_t at) const { return Has(at, 1) ? uint8_t(bytes_[at]) : 0; }
  uint64_t Le(uint64_t at, int width) const {
    uint64_t v = 0;
    if (Has(at, width))
      for (int i = width - 1; i >= 0; --i)
        v = v << 8 | uint8_t(bytes_[at + i]);
    return v;
  }
  uint64_t Be(uint64_t at, int width) const {
    uint64_t v = 0;
    if (Has(at, width))
      for (int i = 0; i < width; ++i)
        v = v << 8 | uint8_t(bytes_[at + i]);
    return v;
  }
  bool Equals(uint64_t at, const char *text, size_t length) const {
    return Has(at, length) && bytes_.compare(at, length, text, length) == 0;
  }
  const std::string &bytes() const { return bytes_; }

private:
  std::string bytes_;
};

// `length` bytes at `offset` of a file; false when the file cannot be read or ends early.
bool ReadExactly(ImageFiles &files, const std::u16string &path, uint64_t offset, uint64_t length,
                 std::string *bytes);

// UTF-16 to UTF-8 (a lone surrogate becomes U+FFFD): names written in UTF-16 go through
// ResolveName, which takes bytes.
using text::Utf16ToUtf8;

// An error of a binary descriptor: no line, the field named.
FormatError FieldError(FormatError::Reason reason, const std::u16string &file, std::string field);

} // namespace velmor::formats
