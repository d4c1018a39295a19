// MAME's canonical Huffman decoder, as CHD uses it: for the compressed map (16 codes of at
// most 8 bits, tree stored run-length coded) and for the "huff" hunk codec (256 codes of at
// most 16 bits, tree stored Huffman coded by a smaller tree). No library implements it.
#pragma once

#include <cstdint>
#include <vector>

#include "bit_reader.h"

namespace velmor::imagesource::chd {

class HuffmanDecoder {
public:
  HuffmanDecoder(uint32_t codes, uint8_t maxBits);

  // Each reads the tree and builds the lookup table; false when the tree is not a valid code.
  bool ImportTreeRle(BitReader &bits);
  bool ImportTreeHuffman(BitReader &bits);

  // The next symbol. A bit pattern no code starts with marks the decoder failed (and gives 0).
  uint32_t Decode(BitReader &bits) {
    const uint32_t entry = lookup_[bits.Peek(maxBits_)];
    if (entry == kNoCode) {
      failed_ = true;
      bits.Skip(maxBits_);
      return 0;
    }
    bits.Skip(int(entry & 0x1F));
    return entry >> 5;
  }
  bool Failed() const { return failed_; }

private:
  static constexpr uint32_t kNoCode = 0xFFFFFFFF;
  bool BuildFromLengths();

  uint32_t codes_;
  uint8_t maxBits_;
  std::vector<uint8_t> lengths_;
  std::vector<uint32_t> lookup_;
  bool failed_ = false;
};

// The "huff" codec: every byte of the hunk coded with one tree stored ahead of the data.
bool DecodeHuffmanHunk(const uint8_t *src, size_t length, uint8_t *out, size_t outLength);

} // namespace velmor::imagesource::chd
