// The error correction codes (P and Q) of a mode 1 or mode 2 form 1 sector. CHD's CD codecs
// store a data sector that carried valid ones without its sync and codes; the reader puts them
// back so the sector reads as it was.
#pragma once

#include <cstdint>

namespace velmor::imagesource::chd {

inline constexpr uint8_t kCdSync[12] = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};

// Writes P and Q into a 2,352-byte sector from its header and data. Mode 2 sectors compute
// them as if the 4-byte header were zero.
void GenerateEcc(uint8_t *sector);

} // namespace velmor::imagesource::chd
