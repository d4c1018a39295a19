#include "boot_catalog.h"

#include "byte_order.h"

namespace velmor {

namespace {

void PutValidation(std::uint8_t *validation, BootPlatform platform) {
  validation[0] = kCatalogValidation;
  validation[1] = static_cast<std::uint8_t>(platform);
  validation[30] = 0x55;
  validation[31] = 0xAA;
  // The checksum makes the sum of the entry's sixteen 16-bit words zero.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kCatalogEntryBytes; i += 2)
    sum += static_cast<std::uint32_t>(validation[i] | validation[i + 1] << 8);
  Le16(validation + 28, (0x10000u - (sum & 0xFFFFu)) & 0xFFFFu);
}

// The default entry and section entries share their first 12 bytes; load segment 0 (the
// firmware's 0x7C0), system type 0 and no selection criteria stay as they are.
void PutEntry(std::uint8_t *entry, const BootEntry &e, const ImageLayout &layout) {
  entry[0] = kCatalogBootable;
  entry[1] = static_cast<std::uint8_t>(e.Media);
  Le16(entry + 6, e.LoadSectors);
  Le32(entry + 8, FileSector(layout, *e.Image));
}
} // namespace

void BootCatalog::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  (void)store;
  layout.BootCatalogSector = static_cast<std::uint32_t>(next++);
  boot_.Catalog->DataSector = static_cast<std::int32_t>(layout.BootCatalogSector);
}

void BootCatalog::Write(const CompilationStore &store, const ImageLayout &layout,
                        const HeaderOutput &out) const {
  (void)store;
  PutBootCatalog(out.At(layout.BootCatalogSector), boot_, layout);
}

void PutBootCatalog(std::uint8_t *sector, const BootSpec &boot, const ImageLayout &layout) {
  const std::vector<BootEntry> &entries = boot.Entries;
  PutValidation(sector, entries.front().Platform);
  PutEntry(sector + kCatalogEntryBytes, entries.front(), layout);
  std::uint8_t *p = sector + 2 * kCatalogEntryBytes;
  for (std::size_t i = 1; i < entries.size();) {
    std::size_t end = i + 1;
    while (end < entries.size() && entries[end].Platform == entries[i].Platform)
      ++end;
    p[0] = end == entries.size() ? kCatalogLastSection : kCatalogSection;
    p[1] = static_cast<std::uint8_t>(entries[i].Platform);
    Le16(p + 2, static_cast<std::uint16_t>(end - i));
    p += kCatalogEntryBytes;
    for (; i < end; ++i, p += kCatalogEntryBytes)
      PutEntry(p, entries[i], layout);
  }
}

std::uint16_t WholeImageLoadSectors(std::uint64_t bytes) {
  const std::uint64_t sectors = SectorsFor(bytes) * (kSectorSize / 512);
  return sectors > 0xFFFF ? 0 : static_cast<std::uint16_t>(sectors);
}

} // namespace velmor
