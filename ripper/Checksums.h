#pragma once
// The checksums disc databases list for each track file: CRC-32 (the zip polynomial) and
// SHA-1, fed as the file is written.
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmor {

class Crc32 {
public:
  void Add(const void *data, std::size_t size);
  std::uint32_t Value() const { return ~state_; }
  std::string Hex() const; // eight lower-case digits

private:
  std::uint32_t state_ = 0xFFFFFFFFu;
};

class Sha1 {
public:
  Sha1();
  void Add(const void *data, std::size_t size);
  // The digest as forty lower-case digits; ends the computation.
  std::string Hex();

private:
  void Block(const std::uint8_t *block);
  std::uint32_t h_[5];
  std::uint8_t pending_[64];
  std::size_t pendingSize_ = 0;
  std::uint64_t total_ = 0;
};

} // namespace velmor
