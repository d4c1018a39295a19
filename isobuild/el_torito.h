#pragma once
// El Torito (version 1.0): the boot record volume descriptor, the boot catalog with its one
// initial/default entry, and the boot info table that isolinux-style loaders expect at byte 8 of
// their own image. Only bytes are made here; where they go is the layout's business.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor {

struct TEntryNode;
class SourceFile;

enum class BootMedia : std::uint8_t {
  NoEmulation = 0,
  Floppy1200 = 1, // 1.2 MB
  Floppy1440 = 2, // 1.44 MB
  Floppy2880 = 3, // 2.88 MB
};

// The floppy an emulation image of `bytes` stands for; false when no floppy has that size.
bool FloppyMediaFor(std::uint64_t bytes, BootMedia &media);

constexpr std::size_t kBootInfoTableOffset = 8;
constexpr std::size_t kBootInfoTableBytes = 56;
// Where the boot info table's checksum starts: the first byte after the table.
constexpr std::size_t kBootInfoChecksumStart = kBootInfoTableOffset + kBootInfoTableBytes;

// What an image boots from: the boot image (a file of the tree) and the catalog's own entry (a
// file whose sector the layout gives it).
struct BootSpec {
  TEntryNode *Image = nullptr;
  TEntryNode *Catalog = nullptr;
  BootMedia Media = BootMedia::NoEmulation;
  std::uint16_t LoadSectors = 1; // 512-byte sectors the firmware loads (1 for floppy emulation)
  bool InfoTable = false;
  std::uint32_t ImageChecksum = 0; // of the boot image, for the info table
};

// The boot record volume descriptor pointing at the catalog; `sector` holds 2048 zero bytes.
void PutBootRecord(std::uint8_t *sector, std::uint32_t catalogSector);
// The boot catalog: validation entry (x86) and a bootable initial/default entry.
void PutBootCatalog(std::uint8_t *sector, BootMedia media, std::uint16_t loadSectors,
                    std::uint32_t imageSector);
std::array<std::uint8_t, kBootInfoTableBytes> BootInfoTable(std::uint32_t primaryDescriptorSector,
                                                            std::uint32_t imageSector,
                                                            std::uint32_t imageBytes,
                                                            std::uint32_t checksum);

// The info table's checksum of a boot image: the sum of its little-endian 32-bit words from
// byte 64 to the end, a short last word padded with zeros. False when the file yields fewer
// than `size` bytes.
bool BootImageChecksum(SourceFile &file, std::uint64_t size, std::uint32_t &checksum);

// Bytes that stand in for part of one file's data when its copy is written into the image.
struct DataPatch {
  const TEntryNode *Entry = nullptr;
  std::uint64_t Offset = 0;
  std::vector<std::uint8_t> Bytes;

  // Overlays the patch on `data`, which holds `count` bytes of `entry`'s data from byte `at`.
  void ApplyTo(const TEntryNode &entry, std::uint64_t at, std::uint8_t *data,
               std::size_t count) const;
};

} // namespace velmor
