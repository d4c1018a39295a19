#include "chd_huffman.h"

#include <algorithm>

namespace velmor::imagesource::chd {

HuffmanDecoder::HuffmanDecoder(uint32_t codes, uint8_t maxBits)
    : codes_(codes), maxBits_(maxBits), lengths_(codes, 0), lookup_(size_t(1) << maxBits, kNoCode) {
}

// Canonical codes from the lengths, longest first, as MAME assigns them; then every
// maxBits-bit pattern that starts with a code is looked up in one step.
bool HuffmanDecoder::BuildFromLengths() {
  uint32_t histogram[33] = {};
  for (uint8_t length : lengths_) {
    if (length > maxBits_)
      return false;
    ++histogram[length];
  }
  uint32_t start = 0;
  for (int length = 32; length > 0; --length) {
    const uint32_t next = (start + histogram[length]) >> 1;
    if (length != 1 && next * 2 != start + histogram[length])
      return false;
    histogram[length] = start;
    start = next;
  }
  std::fill(lookup_.begin(), lookup_.end(), kNoCode);
  for (uint32_t symbol = 0; symbol < codes_; ++symbol) {
    const uint32_t length = lengths_[symbol];
    if (length == 0)
      continue;
    const uint32_t code = histogram[length]++;
    const uint32_t shift = maxBits_ - length;
    const uint64_t first = uint64_t(code) << shift;
    const uint64_t end = uint64_t(code + 1) << shift;
    if (end > lookup_.size())
      return false;
    for (uint64_t i = first; i < end; ++i)
      lookup_[size_t(i)] = symbol << 5 | length;
  }
  return true;
}

bool HuffmanDecoder::ImportTreeRle(BitReader &bits) {
  const int fieldBits = maxBits_ >= 16 ? 5 : maxBits_ >= 8 ? 4 : 3;
  uint32_t node = 0;
  while (node < codes_) {
    uint32_t length = bits.Read(fieldBits);
    if (length != 1) {
      lengths_[node++] = uint8_t(length);
      continue;
    }
    // 1 escapes: "1 1" is a length of one, "1 n r" is n repeated r + 3 times
    length = bits.Read(fieldBits);
    if (length == 1) {
      lengths_[node++] = 1;
      continue;
    }
    const uint32_t repeat = bits.Read(fieldBits) + 3;
    if (repeat > codes_ - node)
      return false;
    for (uint32_t i = 0; i < repeat; ++i)
      lengths_[node++] = uint8_t(length);
  }
  return BuildFromLengths() && !bits.Overflowed();
}

bool HuffmanDecoder::ImportTreeHuffman(BitReader &bits) {
  // The lengths are coded by a small tree of 24 symbols: 0 means a run of the last length,
  // n > 0 the length n - 1.
  HuffmanDecoder small(24, 6);
  small.lengths_[0] = uint8_t(bits.Read(3));
  const uint32_t start = bits.Read(3) + 1;
  uint32_t count = 0;
  for (uint32_t i = 1; i < 24; ++i) {
    if (i < start || count == 7) {
      small.lengths_[i] = 0;
    } else {
      count = bits.Read(3);
      small.lengths_[i] = uint8_t(count == 7 ? 0 : count);
    }
  }
  if (!small.BuildFromLengths())
    return false;
  int runBits = 0;
  for (uint32_t t = codes_ - 9; t != 0; t >>= 1)
    ++runBits;
  uint32_t node = 0;
  uint8_t last = 0;
  while (node < codes_) {
    const uint32_t value = small.Decode(bits);
    if (small.Failed() || bits.Overflowed())
      return false;
    if (value != 0) {
      lengths_[node++] = last = uint8_t(value - 1);
      continue;
    }
    uint32_t run = bits.Read(3) + 2;
    if (run == 7 + 2)
      run += bits.Read(runBits);
    for (; run != 0 && node < codes_; --run)
      lengths_[node++] = last;
  }
  return BuildFromLengths() && !bits.Overflowed();
}

bool DecodeHuffmanHunk(const uint8_t *src, size_t length, uint8_t *out, size_t outLength) {
  BitReader bits(src, length);
  HuffmanDecoder decoder(256, 16);
  if (!decoder.ImportTreeHuffman(bits))
    return false;
  for (size_t i = 0; i < outLength; ++i)
    out[i] = uint8_t(decoder.Decode(bits));
  return !decoder.Failed() && !bits.Overflowed();
}

} // namespace velmor::imagesource::chd
