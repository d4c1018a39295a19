#pragma once
// Image layout: directory order and numbers, extent and path-table sizes, and the sector of every
// structure and file. Computed once before the header is built; nothing is written here.
#include <cstdint>

#include "compilation.h"
#include "el_torito.h"
#include "names.h"

namespace velmor {

constexpr std::uint32_t kSectorSize = 2048;
constexpr std::uint32_t kSystemAreaSectors = 16;
constexpr std::uint32_t kMinFirstFileSector = 150;
constexpr std::uint32_t kPostGapSectors = 300;

// A record's data length has 32 bits: bigger files are recorded as several extents, each but the
// last this long (the largest whole number of sectors below 4 GiB).
constexpr std::uint64_t kMaxExtentBytes = 0xFFFFF800u;

inline std::uint32_t ExtentCount(std::int64_t size) {
  if (size <= static_cast<std::int64_t>(0xFFFFFFFFu))
    return 1;
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(size) + kMaxExtentBytes - 1) /
                                    kMaxExtentBytes);
}

inline std::uint64_t SectorsFor(std::uint64_t bytes) {
  return (bytes + kSectorSize - 1) / kSectorSize;
}

// The sectors of one name set written as ISO 9660 records (ISO 9660 itself, Joliet): its
// descriptor, its two path tables and the area of its directory extents.
struct NameSetLayout {
  std::uint32_t DescriptorSector = 0;
  std::uint32_t PathTableSize = 0;
  std::uint32_t LTable = 0, MTable = 0;
  std::uint32_t DirArea = 0;
  std::uint64_t AreaSize = 0;
};

struct ImageLayout {
  bool WithJoliet = true;
  std::uint32_t StartSector = 0;
  NameSetLayout Iso, Joliet;
  // El Torito, when the image boots; 0 otherwise.
  std::uint32_t BootRecordSector = 0;
  std::uint32_t BootCatalogSector = 0;
  std::uint32_t TerminatorSector = 0;
  std::uint32_t FirstFileSector = 0;
  std::int32_t PaddingBeforeFiles = 0;
  std::uint64_t FileSectors = 0;
  std::uint64_t ImageEnd = 0;
  std::uint64_t ImageSectorCount = 0;
};

// Lays out the compilation; fills the size, sector and number fields of its records in place.
// With `boot`, the boot record follows the primary descriptor (firmware looks for it in the
// sector after) and the catalog follows the directories.
ImageLayout ComputeImageLayout(CompilationStore &store, bool joliet, std::uint32_t startSector,
                               Platform &platform, const CharTable &chars,
                               const BootSpec *boot = nullptr);

// The sector of a file's first extent.
inline std::uint32_t FileSector(const ImageLayout &layout, const TEntryNode &e) {
  return e.FixedSector ? static_cast<std::uint32_t>(e.DataSector)
                       : layout.FirstFileSector + static_cast<std::uint32_t>(e.DataSector);
}

// Bytes of the ISO (Joliet) directory record of an entry.
std::uint32_t IsoRecordLength(const TEntryNode &e);
std::uint32_t JolietRecordLength(const TEntryNode &e);

} // namespace velmor
