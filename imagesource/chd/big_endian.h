// CHD stores every number big-endian, whatever the host.
#pragma once

#include <cstdint>

namespace velmor::imagesource::chd {

inline uint32_t Big(const uint8_t *p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v = v << 8 | p[i];
  return uint32_t(v);
}
inline uint64_t Big64(const uint8_t *p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v = v << 8 | p[i];
  return v;
}
inline constexpr uint32_t Tag(const char (&t)[5]) {
  return uint32_t(uint8_t(t[0])) << 24 | uint32_t(uint8_t(t[1])) << 16 |
         uint32_t(uint8_t(t[2])) << 8 | uint8_t(t[3]);
}

} // namespace velmor::imagesource::chd
