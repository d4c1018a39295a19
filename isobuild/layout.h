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

// UDF beside ISO 9660: the volume recognition sequence after the ISO descriptors, both volume
// descriptor sequences and the integrity descriptor before the anchor at sector 256, then one
// partition from the sector after it to the image's last sector, which holds the second anchor.
// The ISO 9660 path tables and directories open the partition; the file set descriptor, every
// folder's file entry and identifiers, then (after the boot catalog, if any) the file entries of
// all files follow them, before the files, so that the last data a UDF reader knows of (the
// files, or the UDF area when no file has data) is followed only by zeros and the last anchor.
// The files' entries are one run that ends where the first file begins, folder by folder in
// creation order and each folder's files in list order: the header keeps everything before the
// run in memory and makes the run as it is streamed.
struct UdfLayout {
  std::uint32_t RecognitionSector = 0; // BEA01, NSR02 and TEA01
  std::uint32_t MainSequence = 0, ReserveSequence = 0;
  std::uint32_t IntegritySector = 0; // the integrity descriptor and a terminator
  std::uint32_t AnchorSector = 0;
  std::uint32_t PartitionStart = 0;
  std::uint32_t PartitionLength = 0;
  std::uint32_t FileSetBlock = 0; // then its terminator, the folders' entries and identifiers
  std::uint32_t AreaEndBlock = 0;
  std::uint32_t RootEntryBlock = 0;
  std::uint32_t LastAnchorSector = 0;
  std::uint32_t Files = 0, Directories = 0;
};

constexpr std::uint32_t kUdfSequenceSectors = 16; // ECMA-167's least extent of a sequence
constexpr std::uint32_t kUdfAnchorOffset = 256;
// UDF extents are at most 2^30 - 1 bytes; whole sectors keep each one's data aligned.
constexpr std::uint64_t kMaxUdfExtentBytes = 0x3FFFF800u;
constexpr std::uint32_t kUdfFileEntryBytes = 176; // before the allocation descriptors
constexpr std::uint32_t kUdfShortAdBytes = 8;
constexpr std::uint32_t kUdfFileIdentifierBytes = 38; // before the name

inline std::uint32_t UdfExtentCount(std::int64_t size) {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(size) + kMaxUdfExtentBytes - 1) /
                                    kMaxUdfExtentBytes);
}

// A file entry has room for 234 allocation descriptors; a file of more extents (above 233 GiB)
// continues them in allocation extent descriptors of 253 each, in the blocks after its entry,
// the last descriptor of a full block pointing at the next.
constexpr std::uint32_t kUdfEntryAds = (2048 - kUdfFileEntryBytes) / kUdfShortAdBytes;
constexpr std::uint32_t kUdfAllocationExtentBytes = 24; // before the descriptors
constexpr std::uint32_t kUdfExtentBlockAds = (2048 - kUdfAllocationExtentBytes) / kUdfShortAdBytes;

inline std::uint32_t UdfContinuationBlocks(std::uint32_t extents) {
  std::uint32_t blocks = 0;
  for (std::uint32_t room = kUdfEntryAds; extents > room; room = kUdfExtentBlockAds) {
    extents -= room - 1;
    ++blocks;
  }
  return blocks;
}

struct ImageLayout {
  bool WithJoliet = true;
  bool WithUdf = false;
  std::uint32_t StartSector = 0;
  NameSetLayout Iso, Joliet;
  // El Torito, when the image boots; 0 otherwise.
  std::uint32_t BootRecordSector = 0;
  std::uint32_t BootCatalogSector = 0;
  std::uint32_t TerminatorSector = 0;
  UdfLayout Udf;
  std::uint32_t FirstFileSector = 0;
  // The first header sector made while streaming rather than kept: the UDF files' entries, or
  // FirstFileSector when there are none.
  std::uint32_t MadeHeaderSector = 0;
  std::int32_t PaddingBeforeFiles = 0;
  std::uint64_t FileSectors = 0;
  // Sectors after the files, written by the writers after the last file: none without UDF; with
  // it, zeros up to the post-gap's length and the last anchor.
  std::uint32_t TrailerSectors = 0;
  std::uint64_t ImageEnd = 0;
  std::uint64_t ImageSectorCount = 0;
};

// Lays out the compilation; fills the size, sector and number fields of its records in place.
// With `boot`, the boot record follows the primary descriptor (firmware looks for it in the
// sector after) and the catalog follows the directories. With `udf`, the UDF structures are laid
// out as well and the ISO 9660 structures follow the anchor.
ImageLayout ComputeImageLayout(CompilationStore &store, bool joliet, std::uint32_t startSector,
                               Platform &platform, const CharTable &chars,
                               const BootSpec *boot = nullptr, bool udf = false);

// The name of an entry in the UDF tree: its name as listed, in full; in a folder where two of
// them came out equal, its Joliet identifier, which is unique.
std::u16string UdfName(const TDirNode &parent, const TEntryNode &e, Platform &platform);

// Whether only UDF can carry the compilation as it is: a file of 4 GiB or more (which Windows'
// ISO 9660 reader cuts), or a name longer than a Joliet record takes (which Joliet shortens).
bool CompilationWantsUdf(const CompilationStore &store, Platform &platform);

inline std::uint32_t UdfIdentifierLength(std::size_t nameBytes) {
  return static_cast<std::uint32_t>((kUdfFileIdentifierBytes + nameBytes + 3) & ~std::size_t{3});
}

// The sector of a file's first extent.
inline std::uint32_t FileSector(const ImageLayout &layout, const TEntryNode &e) {
  return e.FixedSector ? static_cast<std::uint32_t>(e.DataSector)
                       : layout.FirstFileSector + static_cast<std::uint32_t>(e.DataSector);
}

} // namespace velmor
