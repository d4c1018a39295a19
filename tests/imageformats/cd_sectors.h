// Raw CD sectors as a drive reads them: sync, address, mode, the 2,048 user bytes and the
// error detection (EDC) and correction (ECC, P and Q) codes, for the test-image generator.
#pragma once

#include <cstdint>
#include <string>

namespace velmor::testimages {

inline constexpr size_t kRawSector = 2352;
inline constexpr size_t kUserBytes = 2048;

// The CRC of CD-ROM sectors (polynomial x^32 + x^31 + x^16 + x^15 + x^4 + x^3 + x + 1,
// reflected) over `length` bytes.
uint32_t SectorEdc(const uint8_t *bytes, size_t length);

// The sector at logical block `lba` holding `user` (2,048 bytes): mode 1, or mode 2 form 1
// with a data subheader.
std::string Mode1Sector(uint32_t lba, const uint8_t *user);
std::string Mode2Form1Sector(uint32_t lba, const uint8_t *user);

// 2,352 bytes of CD audio, the same for the same track and sector on every run.
std::string AudioSector(unsigned track, uint32_t sector);

} // namespace velmor::testimages
