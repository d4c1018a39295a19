// Answers of a plain ISO drive to the table-of-contents and geometry requests. They do not
// depend on the image: one data track from the start of the disc, lead-out at 46:59:58, and a
// geometry of 299,008 sectors of 2,048 bytes.
#include "velmor_driver.h"

namespace velmor {
namespace {

void PutLittle32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = uint8_t(v >> (8 * i));
}

} // namespace

void VelmorFillIsoToc(void *buffer) {
  static const uint8_t kHead[20] = {
      0x00, 0x12,             // length of what follows, big-endian
      1,    1,                // first and last track
      0,    0x14, 1,    0,    // track 1: ADR 1, data track
      0x00, 0x00, 0x02, 0x00, // starts at MSF 00:02:00
      0,    0x14, 0xAA, 0,    // lead-out
      0x00, 0x2E, 0x3B, 0x3A, // at MSF 46:59:58
  };
  auto *out = static_cast<uint8_t *>(buffer);
  for (uint32_t i = 0; i < kTocSize; ++i)
    out[i] = i < sizeof(kHead) ? kHead[i] : 0;
}

void VelmorFillIsoGeometry(void *buffer) {
  auto *out = static_cast<uint8_t *>(buffer);
  PutLittle32(out + 0, 146); // cylinders, 64-bit
  PutLittle32(out + 4, 0);
  PutLittle32(out + 8, 11); // RemovableMedia
  PutLittle32(out + 12, 64);
  PutLittle32(out + 16, 32);
  PutLittle32(out + 20, kBytesPerSector);
}

} // namespace velmor
