// Answers of a plain ISO drive to the table-of-contents and geometry requests: one data track
// from the start of the disc, lead-out at 46:59:58, and a geometry of 299,008 sectors of 2,048
// bytes; an image those do not cover gets a lead-out and cylinders that cover it, so a DVD
// image does not say it holds 433 MB.
#include "layout_drive.h"

namespace velmor {
namespace {

void PutLittle32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = uint8_t(v >> (8 * i));
}

constexpr uint32_t kFixedLeadOut = (46 * 60 + 59) * 75 + 58 - kSectorsBeforeLba0;
constexpr uint32_t kSectorsPerCylinder = 64 * 32;
constexpr uint32_t kFixedCylinders = 146;

} // namespace

void VelmorFillIsoToc(void *buffer, uint32_t blocks) {
  static const uint8_t kHead[16] = {
      0x00, 0x12,             // length of what follows, big-endian
      1,    1,                // first and last track
      0,    0x14, 1,    0,    // track 1: ADR 1, data track
      0x00, 0x00, 0x02, 0x00, // starts at MSF 00:02:00
      0,    0x14, 0xAA, 0,    // lead-out
  };
  auto *out = static_cast<uint8_t *>(buffer);
  for (uint32_t i = 0; i < kTocSize; ++i)
    out[i] = i < sizeof(kHead) ? kHead[i] : 0;
  // Past about 2^30 blocks (2 TiB) the address would overflow; such images are capped.
  const uint32_t leadOut = blocks > kFixedLeadOut ? (blocks < (1u << 30) ? blocks : 1u << 30)
                                                  : kFixedLeadOut;
  VelmorPutMsf(out + sizeof(kHead), leadOut);
}

void VelmorFillIsoGeometry(void *buffer, uint32_t blocks) {
  const uint32_t covering = blocks / kSectorsPerCylinder + (blocks % kSectorsPerCylinder != 0);
  auto *out = static_cast<uint8_t *>(buffer);
  PutLittle32(out + 0, covering > kFixedCylinders ? covering : kFixedCylinders); // 64-bit
  PutLittle32(out + 4, 0);
  PutLittle32(out + 8, 11); // RemovableMedia
  PutLittle32(out + 12, 64);
  PutLittle32(out + 16, 32);
  PutLittle32(out + 20, kBytesPerSector);
}

} // namespace velmor
