#pragma once
// The El Torito boot catalog: the validation entry, the initial/default entry (the first boot
// entry), then the other entries in sections, a section header before each run of entries of
// one platform, as xorriso groups them.
#include <cstdint>

#include "layout.h"

namespace velmor {

// Bytes of one catalog sector for `boot`, whose images have their sectors in `layout`; `sector`
// holds 2048 zero bytes.
void PutBootCatalog(std::uint8_t *sector, const BootSpec &boot, const ImageLayout &layout);

// The load size xorriso gives a UEFI image by itself: its 2048-byte sectors counted in 512-byte
// ones, 0 when that does not fit the field (firmware then reads the image to its end).
std::uint16_t WholeImageLoadSectors(std::uint64_t bytes);

} // namespace velmor
