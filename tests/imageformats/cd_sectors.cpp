#include "cd_sectors.h"

#include <array>
#include <cstring>

namespace velmor::testimages {
namespace {

struct Tables {
  std::array<uint32_t, 256> edc{};
  std::array<uint8_t, 256> forward{};  // multiply by x in GF(2^8), x^8 + x^4 + x^3 + x^2 + 1
  std::array<uint8_t, 256> backward{}; // divides by (x + 1)
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t e = i;
      for (int k = 0; k < 8; ++k)
        e = (e >> 1) ^ (e & 1 ? 0xD8018001u : 0);
      edc[i] = e;
      const uint32_t f = (i << 1) ^ (i & 0x80 ? 0x11D : 0);
      forward[i] = uint8_t(f);
      backward[i ^ f] = uint8_t(i);
    }
  }
};
const Tables &Lut() {
  static const Tables tables;
  return tables;
}

// One of the two Reed-Solomon product codes over the sector from its header (byte 12): P
// (86 columns of 24) and Q (52 diagonals of 43) each append two parity bytes per vector.
void Ecc(uint8_t *sector, size_t majors, size_t minors, size_t majorStep, size_t minorStep,
         size_t at) {
  const Tables &t = Lut();
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
      a = t.forward[a];
    }
    a = t.backward[t.forward[a] ^ b];
    sector[at + major] = a;
    sector[at + major + majors] = uint8_t(a ^ b);
  }
}

void EccPQ(uint8_t *sector) {
  Ecc(sector, 86, 24, 2, 86, 0x81C);
  Ecc(sector, 52, 43, 86, 88, 0x8C8);
}

void PutEdc(uint8_t *at, uint32_t edc) {
  for (int i = 0; i < 4; ++i)
    at[i] = uint8_t(edc >> (8 * i));
}

uint8_t Bcd(uint32_t n) { return uint8_t(n / 10 * 16 + n % 10); }

std::string Header(uint32_t lba, uint8_t mode) {
  std::string s(kRawSector, '\0');
  std::memset(&s[1], 0xFF, 10);
  const uint32_t at = lba + 150;
  s[12] = char(Bcd(at / 4500));
  s[13] = char(Bcd(at / 75 % 60));
  s[14] = char(Bcd(at % 75));
  s[15] = char(mode);
  return s;
}

} // namespace

uint32_t SectorEdc(const uint8_t *bytes, size_t length) {
  uint32_t edc = 0;
  for (size_t i = 0; i < length; ++i)
    edc = (edc >> 8) ^ Lut().edc[(edc ^ bytes[i]) & 0xFF];
  return edc;
}

std::string Mode1Sector(uint32_t lba, const uint8_t *user) {
  std::string s = Header(lba, 1);
  auto *p = reinterpret_cast<uint8_t *>(s.data());
  std::memcpy(p + 16, user, kUserBytes);
  PutEdc(p + 0x810, SectorEdc(p, 0x810));
  EccPQ(p);
  return s;
}

std::string Mode2Form1Sector(uint32_t lba, const uint8_t *user) {
  std::string s = Header(lba, 2);
  auto *p = reinterpret_cast<uint8_t *>(s.data());
  static constexpr uint8_t kSubheader[8] = {0, 0, 0x08, 0, 0, 0, 0x08, 0}; // data, form 1
  std::memcpy(p + 16, kSubheader, 8);
  std::memcpy(p + 24, user, kUserBytes);
  PutEdc(p + 0x818, SectorEdc(p + 16, 0x808));
  // Form 1's ECC is computed as if the address were zero, so a sector keeps it when moved.
  uint8_t header[4];
  std::memcpy(header, p + 12, 4);
  std::memset(p + 12, 0, 4);
  EccPQ(p);
  std::memcpy(p + 12, header, 4);
  return s;
}

std::string AudioSector(unsigned track, uint32_t sector) {
  std::string s(kRawSector, '\0');
  uint32_t x = (track * 0x9E3779B9u) ^ (sector * 0x85EBCA6Bu) ^ 0x1234567u;
  for (char &c : s) { // xorshift: noise that differs per track and sector
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = char(x >> 24);
  }
  return s;
}

} // namespace velmor::testimages
