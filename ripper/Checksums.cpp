#include "Checksums.h"

#include <cstring>

namespace velmor {
namespace {

struct CrcTable {
  std::uint32_t entry[256];
  CrcTable() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k)
        c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[i] = c;
    }
  }
};

std::uint32_t Rotate(std::uint32_t v, int bits) { return v << bits | v >> (32 - bits); }

std::string HexOf(const std::uint32_t *words, int count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (int w = 0; w < count; ++w)
    for (int shift = 28; shift >= 0; shift -= 4)
      out += kDigits[words[w] >> shift & 0xF];
  return out;
}

} // namespace

void Crc32::Add(const void *data, std::size_t size) {
  static const CrcTable table;
  const auto *p = static_cast<const std::uint8_t *>(data);
  for (std::size_t i = 0; i < size; ++i)
    state_ = table.entry[(state_ ^ p[i]) & 0xFF] ^ (state_ >> 8);
}

std::string Crc32::Hex() const {
  const std::uint32_t value = Value();
  return HexOf(&value, 1);
}

Sha1::Sha1() : h_{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void Sha1::Block(const std::uint8_t *block) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16 |
           std::uint32_t(block[4 * i + 2]) << 8 | block[4 * i + 3];
  for (int i = 16; i < 80; ++i)
    w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t t = Rotate(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rotate(b, 30);
    b = a;
    a = t;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
  h_[4] += e;
}

void Sha1::Add(const void *data, std::size_t size) {
  const auto *p = static_cast<const std::uint8_t *>(data);
  total_ += size;
  if (pendingSize_ > 0) {
    const std::size_t n = size < 64 - pendingSize_ ? size : 64 - pendingSize_;
    std::memcpy(pending_ + pendingSize_, p, n);
    pendingSize_ += n;
    p += n;
    size -= n;
    if (pendingSize_ < 64)
      return;
    Block(pending_);
    pendingSize_ = 0;
  }
  for (; size >= 64; p += 64, size -= 64)
    Block(p);
  std::memcpy(pending_, p, size);
  pendingSize_ = size;
}

std::string Sha1::Hex() {
  const std::uint64_t bits = total_ * 8;
  std::uint8_t tail[72] = {0x80};
  const std::size_t pad = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
  for (int i = 0; i < 8; ++i)
    tail[pad + i] = std::uint8_t(bits >> (56 - 8 * i));
  Add(tail, pad + 8);
  return HexOf(h_, 5);
}

} // namespace velmor
