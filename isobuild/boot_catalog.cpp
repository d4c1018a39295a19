#include "boot_catalog.h"

namespace velmor {

void BootCatalog::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  (void)store;
  layout.BootCatalogSector = static_cast<std::uint32_t>(next++);
  boot_.Catalog->DataSector = static_cast<std::int32_t>(layout.BootCatalogSector);
}

void BootCatalog::Write(const CompilationStore &store, const ImageLayout &layout,
                        const HeaderOutput &out) const {
  (void)store;
  PutBootCatalog(out.At(layout.BootCatalogSector), boot_.Media, boot_.LoadSectors,
                 FileSector(layout, *boot_.Image));
}

} // namespace velmor
