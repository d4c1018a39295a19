#include "cd_ecc.h"

#include <array>
#include <cstddef>
#include <cstring>

namespace velmor::imagesource::chd {
namespace {

struct Fields {
  std::array<uint8_t, 256> times2{}; // multiply by x in GF(2^8), x^8 + x^4 + x^3 + x^2 + 1
  std::array<uint8_t, 256> over3{};  // divide by (x + 1)
  Fields() {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t f = (i << 1) ^ (i & 0x80 ? 0x11D : 0);
      times2[i] = uint8_t(f);
      over3[i ^ f] = uint8_t(i);
    }
  }
};

// One Reed-Solomon product code over the sector from byte 12: `majors` vectors of `minors`
// bytes each, two parity bytes per vector written at `at` and `at + majors`.
void Parity(uint8_t *sector, size_t majors, size_t minors, size_t majorStep, size_t minorStep,
            size_t at) {
  static const Fields f;
  const uint8_t *src = sector + 12;
  const size_t size = majors * minors;
  for (size_t major = 0; major < majors; ++major) {
    size_t index = (major >> 1) * majorStep + (major & 1);
    uint8_t a = 0, b = 0;
    for (size_t minor = 0; minor < minors; ++minor) {
      const uint8_t v = src[index];
      index += minorStep;
      if (index >= size)
        index -= size;
      a ^= v;
      b ^= v;
      a = f.times2[a];
    }
    a = f.over3[f.times2[a] ^ b];
    sector[at + major] = a;
    sector[at + major + majors] = uint8_t(a ^ b);
  }
}

} // namespace

void GenerateEcc(uint8_t *sector) {
  uint8_t header[4];
  const bool mode2 = sector[15] == 2;
  if (mode2) {
    std::memcpy(header, sector + 12, 4);
    std::memset(sector + 12, 0, 4);
  }
  Parity(sector, 86, 24, 2, 86, 0x81C);
  Parity(sector, 52, 43, 86, 88, 0x8C8);
  if (mode2)
    std::memcpy(sector + 12, header, 4);
}

} // namespace velmor::imagesource::chd
