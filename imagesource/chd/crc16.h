// The CRC-16 CHD keeps for its map and each hunk (CCITT: x^16 + x^12 + x^5 + 1, from 0xFFFF,
// not reflected).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor::imagesource::chd {

// `crc` carries the CRC of the bytes before, for a CRC taken piece by piece.
uint16_t Crc16(const uint8_t *data, size_t length, uint16_t crc = 0xFFFF);

} // namespace velmor::imagesource::chd
