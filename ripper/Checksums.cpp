#include "Checksums.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace velmor {

void Crc32::Add(const void *data, std::size_t size) {
  const auto *p = static_cast<const Bytef *>(data);
  while (size > 0) { // zlib counts in uInt
    const auto n = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    value_ = static_cast<std::uint32_t>(crc32(value_, p, n));
    p += n;
    size -= n;
  }
}

void Crc32::Append(std::uint32_t crc, std::size_t size) {
  if (size != appendSize_) {
    appendSize_ = size;
    appendOperator_ = static_cast<std::uint32_t>(crc32_combine_gen(static_cast<z_off_t>(size)));
  }
  value_ = static_cast<std::uint32_t>(crc32_combine_op(value_, crc, appendOperator_));
}

std::string Crc32::Hex() const {
  const std::uint8_t bytes[4] = {std::uint8_t(value_ >> 24), std::uint8_t(value_ >> 16),
                                 std::uint8_t(value_ >> 8), std::uint8_t(value_)};
  return HexDigits(bytes, 4);
}

std::uint32_t Crc32::Of(const void *data, std::size_t size) {
  Crc32 crc;
  crc.Add(data, size);
  return crc.Value();
}

std::string HexDigits(const std::uint8_t *bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
  }
  return out;
}

} // namespace velmor
