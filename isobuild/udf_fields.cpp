#include "udf_fields.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "byte_order.h"

namespace velmor::udf {

namespace {

// Slicing by eight: kCrcTables[k][b] is the CRC of byte b followed by k zero bytes, so eight
// bytes cost eight lookups that do not wait on each other instead of a chain of eight.
using CrcTables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    t[0][i] = static_cast<std::uint16_t>(crc);
  }
  for (unsigned k = 1; k < 8; ++k)
    for (unsigned i = 0; i < 256; ++i)
      t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
  return t;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

bool FitsBytes(const std::u16string &text) {
  return std::all_of(text.begin(), text.end(), [](char16_t u) { return u < 0x100; });
}

} // namespace

std::uint16_t Crc(const std::uint8_t *p, std::size_t n) {
  const auto &t = kCrcTables;
  unsigned crc = 0;
  for (; n >= 8; n -= 8, p += 8)
    crc = t[7][p[0] ^ (crc >> 8)] ^ t[6][p[1] ^ (crc & 0xFF)] ^ t[5][p[2]] ^ t[4][p[3]] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  for (; n > 0; --n)
    crc = ((crc << 8) & 0xFFFF) ^ t[0][(crc >> 8) ^ *p++];
  return static_cast<std::uint16_t>(crc);
}

void PutTag(std::uint8_t *p, std::uint16_t id, std::uint32_t location, std::size_t length) {
  Le16(p, id);
  Le16(p + 2, 2); // descriptor version of NSR02
  p[5] = 0;
  Le16(p + 6, 1); // serial number: the same in every tag of the volume
  const std::size_t body = length - kTagBytes;
  Le16(p + 8, Crc(p + kTagBytes, body));
  Le16(p + 10, static_cast<std::uint32_t>(body));
  Le32(p + 12, location);
  unsigned sum = 0;
  for (std::size_t i = 0; i < kTagBytes; ++i)
    if (i != 4)
      sum += p[i];
  p[4] = static_cast<std::uint8_t>(sum);
}

std::size_t Cs0Length(const std::u16string &text) {
  if (text.empty())
    return 0;
  return 1 + text.size() * (FitsBytes(text) ? 1 : 2);
}

std::size_t PutCs0(std::uint8_t *p, const std::u16string &text) {
  if (text.empty())
    return 0;
  const bool narrow = FitsBytes(text);
  std::uint8_t *q = p;
  *q++ = narrow ? 8 : 16;
  for (char16_t u : text) {
    if (!narrow)
      *q++ = static_cast<std::uint8_t>(u >> 8);
    *q++ = static_cast<std::uint8_t>(u);
  }
  return static_cast<std::size_t>(q - p);
}

void PutDstring(std::uint8_t *p, std::size_t bytes, const std::u16string &text) {
  std::memset(p, 0, bytes);
  std::u16string cut = text;
  while (Cs0Length(cut) > bytes - 1)
    cut.pop_back();
  // A lone high surrogate left at the end would be no character.
  if (!cut.empty() && cut.back() >= 0xD800 && cut.back() < 0xDC00)
    cut.pop_back();
  p[bytes - 1] = static_cast<std::uint8_t>(PutCs0(p, cut));
}

void PutCharspec(std::uint8_t *p) {
  std::memset(p, 0, 64);
  static const char kOsta[] = "OSTA Compressed Unicode";
  std::memcpy(p + 1, kOsta, sizeof kOsta - 1);
}

void PutTimestamp(std::uint8_t *p, TDateTime value, int minutesEastOfUtc) {
  const DateParts d = DecodeDateTime(value);
  // Type 1: local time, the offset in the low 12 bits as a signed number.
  Le16(p, 0x1000u | (static_cast<unsigned>(minutesEastOfUtc) & 0x0FFFu));
  Le16(p + 2, static_cast<std::uint32_t>(std::clamp(d.Year, 1, 9999)));
  p[4] = static_cast<std::uint8_t>(d.Month);
  p[5] = static_cast<std::uint8_t>(d.Day);
  p[6] = static_cast<std::uint8_t>(d.Hour);
  p[7] = static_cast<std::uint8_t>(d.Minute);
  p[8] = static_cast<std::uint8_t>(d.Second);
  p[9] = static_cast<std::uint8_t>(d.Millisecond / 10);
  p[10] = static_cast<std::uint8_t>((d.Millisecond % 10) * 10);
  p[11] = 0;
}

void PutEntityId(std::uint8_t *p, const char *identifier, bool revisionSuffix) {
  std::memset(p, 0, 32);
  std::memcpy(p + 1, identifier, std::min<std::size_t>(std::strlen(identifier), 23));
  if (revisionSuffix)
    Le16(p + 24, kRevision);
}

} // namespace velmor::udf
