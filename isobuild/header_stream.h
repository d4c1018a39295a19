#pragma once
// The component's in-memory image header, from the header build until it has been written out,
// and the few sectors that follow the last file (the trailer; only UDF has one).
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
  const std::vector<std::uint8_t> &Trailer() const { return trailer_; }
  std::vector<std::uint8_t> &Trailer() { return trailer_; }
  // Gives the header's memory back once it has been queued; the trailer stays until the end.
  void ReleaseHeader() { std::vector<std::uint8_t>().swap(bytes_); }
  // Empties the stream and gives its memory back.
  void Clear() {
    ReleaseHeader();
    std::vector<std::uint8_t>().swap(trailer_);
  }

private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> trailer_;
};

} // namespace velmor
