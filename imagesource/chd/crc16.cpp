#include "crc16.h"

#include <array>

namespace velmor::imagesource::chd {
namespace {

std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 8;
    for (int k = 0; k < 8; ++k)
      c = (c << 1) ^ (c & 0x8000 ? 0x1021 : 0);
    table[i] = uint16_t(c);
  }
  return table;
}

} // namespace

uint16_t Crc16(const uint8_t *data, size_t length, uint16_t crc) {
  static const std::array<uint16_t, 256> table = MakeTable();
  for (size_t i = 0; i < length; ++i)
    crc = uint16_t(crc << 8) ^ table[(crc >> 8) ^ data[i]];
  return crc;
}

} // namespace velmor::imagesource::chd
