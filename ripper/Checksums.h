#pragma once
// The checksums disc databases list for each track file: CRC-32 (the zip polynomial, zlib's)
// and SHA-1 (the system's on Windows, nettle's elsewhere), fed as the file is written.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velmor {

class Crc32 {
public:
  void Add(const void *data, std::size_t size);
  // Adds `size` bytes whose own CRC-32 is `crc`, as if they had been added one by one; cheap
  // when `size` stays the same from call to call.
  void Append(std::uint32_t crc, std::size_t size);
  std::uint32_t Value() const { return value_; }
  std::string Hex() const; // eight lower-case digits
  static std::uint32_t Of(const void *data, std::size_t size);

private:
  std::uint32_t value_ = 0;
  std::size_t appendSize_ = 0;
  std::uint32_t appendOperator_ = 0; // zlib's operator for runs of appendSize_ bytes
};

class Sha1 {
public:
  Sha1();
  ~Sha1();
  Sha1(const Sha1 &) = delete;
  Sha1 &operator=(const Sha1 &) = delete;
  void Add(const void *data, std::size_t size);
  // The digest as forty lower-case digits; ends the computation.
  std::string Hex();

private:
  struct State;
  std::unique_ptr<State> state_;
};

// Bytes as lower-case hexadecimal digits.
std::string HexDigits(const std::uint8_t *bytes, std::size_t size);

} // namespace velmor
