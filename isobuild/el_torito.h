#pragma once
// El Torito (version 1.0): the boot record volume descriptor, what each boot entry is, and the
// boot info table that isolinux-style loaders expect at byte 8 of their own image. Only bytes are
// made here; where they go is the layout's business. The catalog's bytes are boot_catalog.*'s,
// the hybrid system area's (MBR, GPT) system_area.*'s.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor {

// The boot system identifier firmware compares before it reads the catalog: "EL TORITO " and
// the name of the standard, in ASCII, at byte 7 of the boot record.
inline constexpr std::uint8_t kBootSystemId[] = {0x45, 0x4C, 0x20, 0x54, 0x4F, 0x52, 0x49, 0x54,
                                                 0x4F, 0x20, 0x53, 0x50, 0x45, 0x43, 0x49, 0x46,
                                                 0x49, 0x43, 0x41, 0x54, 0x49, 0x4F, 0x4E};

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

// The firmware an entry is for, as the catalog's platform ID names it.
enum class BootPlatform : std::uint8_t {
  X86 = 0,    // PC BIOS
  Efi = 0xEF, // UEFI: the boot image is a FAT file system holding \EFI\BOOT\BOOTx64.EFI
};

// One boot entry: the boot image (a file of the tree) and how firmware loads it.
struct BootEntry {
  TEntryNode *Image = nullptr;
  BootPlatform Platform = BootPlatform::X86;
  BootMedia Media = BootMedia::NoEmulation;
  std::uint16_t LoadSectors = 1; // 512-byte sectors the firmware loads (1 for floppy emulation)
  bool InfoTable = false;
  std::uint32_t ImageChecksum = 0; // of the boot image, for the info table
};

// The catalog's 32-byte entries: the validation entry's header ID, a bootable entry's indicator,
// and section headers, the last of which says so. Written by boot_catalog.*, read on import.
constexpr std::size_t kCatalogEntryBytes = 32;
constexpr std::uint8_t kCatalogValidation = 1;
constexpr std::uint8_t kCatalogBootable = 0x88;
constexpr std::uint8_t kCatalogSection = 0x90;
constexpr std::uint8_t kCatalogLastSection = 0x91;

// At most this many entries: the catalog is one sector, 32 bytes an entry, and every entry may
// need a section header of its own besides the validation entry.
constexpr std::size_t kMaxBootEntries = 32;
// The MBR boot code a hybrid image starts with: the bytes before the disk signature.
constexpr std::size_t kMbrCodeBytes = 432;

// What an image boots from: its entries (the first is the initial/default entry, the others
// follow in sections by platform), the catalog's own entry (a file whose sector the layout gives
// it) and, for a hybrid image, the MBR boot code in front and whether a GPT joins it.
struct BootSpec {
  std::vector<BootEntry> Entries;
  TEntryNode *Catalog = nullptr;
  std::vector<std::uint8_t> MbrCode; // kMbrCodeBytes, or empty: no MBR
  bool Gpt = false;
  bool Hybrid() const { return !MbrCode.empty(); }
};

// The boot record volume descriptor pointing at the catalog; `sector` holds 2048 zero bytes.
void PutBootRecord(std::uint8_t *sector, std::uint32_t catalogSector);
std::array<std::uint8_t, kBootInfoTableBytes> BootInfoTable(std::uint32_t primaryDescriptorSector,
                                                            std::uint32_t imageSector,
                                                            std::uint32_t imageBytes,
                                                            std::uint32_t checksum);

// The info table's checksum of a boot image: the sum of its little-endian 32-bit words from
// byte 64 to the end, a short last word padded with zeros. False when the file yields fewer
// than `size` bytes.
bool BootImageChecksum(SourceFile &file, std::uint64_t size, std::uint32_t &checksum);

// Bytes that stand in for parts of files' data when their copies are written into the image
// (one boot info table per boot image that asks for one).
struct DataPatch {
  struct Piece {
    const TEntryNode *Entry = nullptr;
    std::uint64_t Offset = 0;
    std::vector<std::uint8_t> Bytes;
  };
  std::vector<Piece> Pieces;

  // Overlays the pieces of `entry` on `data`, which holds `count` bytes of its data from byte
  // `at`.
  void ApplyTo(const TEntryNode &entry, std::uint64_t at, std::uint8_t *data,
               std::size_t count) const;
};

} // namespace velmor
