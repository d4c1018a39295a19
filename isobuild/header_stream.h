#pragma once
// The component's in-memory image header, from the header build until it has been written out.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor {

class THeaderStream {
public:
  static constexpr std::size_t kCapacity = 64u * 1024u * 1024u;

  const std::uint8_t *Data() const { return bytes_.data(); }
  std::size_t Size() const { return bytes_.size(); }
  std::vector<std::uint8_t> &Bytes() { return bytes_; }
  // Empties the stream and gives its memory back.
  void Clear() { std::vector<std::uint8_t>().swap(bytes_); }

private:
  std::vector<std::uint8_t> bytes_;
};

} // namespace velmor
