#pragma once
// The El Torito boot catalog: one sector after the directories, a file of the tree whose sector
// the layout gives it (so no writer copies data for it), its bytes written with the header: the
// validation entry, the initial/default entry (the first boot entry), then the other entries in
// sections, a section header before each run of entries of one platform, as xorriso groups them.
#include <cstdint>

#include "image_structure.h"

namespace velmor {

class BootCatalog final : public ImageStructure {
public:
  explicit BootCatalog(const BootSpec &boot) : boot_(boot) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  const BootSpec &boot_;
};

// Bytes of one catalog sector for `boot`, whose images have their sectors in `layout`; `sector`
// holds 2048 zero bytes.
void PutBootCatalog(std::uint8_t *sector, const BootSpec &boot, const ImageLayout &layout);

// The load size xorriso gives a UEFI image by itself: its 2048-byte sectors counted in 512-byte
// ones, 0 when that does not fit the field (firmware then reads the image to its end).
std::uint16_t WholeImageLoadSectors(std::uint64_t bytes);

} // namespace velmor
