#include "volume_probe.h"

#include <cstring>

#include "velmor_protocol.h"

namespace velmor::formats {
namespace {

constexpr uint32_t kFirstDescriptor = 16;
constexpr uint32_t kAnchorSector = 256;
// UDF's recognition sequence follows any ISO 9660 descriptors; a few sectors cover a disc's.
constexpr uint32_t kDescriptorsLooked = 8;

bool IdentifierIs(const uint8_t *sector, const char *id) {
  return std::memcmp(sector + 1, id, 5) == 0;
}

} // namespace

bool HasVolumeDescriptor(const uint8_t *sector16) {
  return IdentifierIs(sector16, "CD001") || IdentifierIs(sector16, "BEA01");
}

bool HasUdfAnchor(const UserSectorReader &read, uint32_t firstLba) {
  uint8_t s[kBytesPerSector];
  if (!read(kAnchorSector, s))
    return false;
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    sum = uint8_t(sum + (i == 4 ? 0 : s[i]));
  const uint32_t location =
      uint32_t(s[12]) | uint32_t(s[13]) << 8 | uint32_t(s[14]) << 16 | uint32_t(s[15]) << 24;
  return s[0] == 2 && s[1] == 0 && s[4] == sum && location == firstLba + kAnchorSector;
}

bool HasVolume(const UserSectorReader &read, uint32_t firstLba) {
  uint8_t s[kBytesPerSector];
  for (uint32_t n = kFirstDescriptor; n < kFirstDescriptor + kDescriptorsLooked; ++n) {
    if (!read(n, s))
      break;
    if (IdentifierIs(s, "CD001") || IdentifierIs(s, "BEA01") || IdentifierIs(s, "NSR02") ||
        IdentifierIs(s, "NSR03"))
      return true;
  }
  return HasUdfAnchor(read, firstLba);
}

} // namespace velmor::formats
