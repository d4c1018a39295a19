// Bits most significant first, as MAME's compressors write them. Reading past the end gives
// zeros and marks the reader overflowed, so a decoder loops a bounded number of times and
// checks once at its end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor::imagesource::chd {

class BitReader {
public:
  BitReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  // The next `bits` bits (0 to 32) without taking them.
  uint32_t Peek(int bits) const {
    if (bits == 0)
      return 0;
    const size_t byte = size_t(position_ >> 3);
    uint64_t v = 0;
    if (byte + 8 <= size_) {
      for (int i = 0; i < 8; ++i)
        v = v << 8 | data_[byte + i];
    } else {
      for (size_t i = 0; i < 8; ++i)
        v = v << 8 | (byte + i < size_ ? data_[byte + i] : 0);
    }
    v <<= (position_ & 7);
    return uint32_t(v >> (64 - bits));
  }
  void Skip(int bits) { position_ += uint64_t(bits); }
  uint32_t Read(int bits) {
    const uint32_t v = Peek(bits);
    Skip(bits);
    return v;
  }
  bool Overflowed() const { return position_ > uint64_t(size_) * 8; }

private:
  const uint8_t *data_;
  size_t size_;
  uint64_t position_ = 0;
};

} // namespace velmor::imagesource::chd
