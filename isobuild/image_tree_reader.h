#pragma once
// The tree of an existing image, read so that it can be built again with changes: its folders and
// files (UDF where the image carries it, else Joliet, else ISO 9660), where each file's data lies
// in the image, and its El Torito entries. The image is untrusted: every count, length and
// position is checked against the image and against limits of its own, and a folder met twice
// ends the reading, so a damaged or hostile image gives a fault and never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "date_time.h"

namespace velmor {

// Random access to the bytes of the image being read.
class ImageBytes {
public:
  virtual ~ImageBytes() = default;
  virtual std::uint64_t Size() const = 0;
  // False when the bytes cannot all be read (past the end, a failure).
  virtual bool ReadAt(std::uint64_t Offset, void *Buffer, std::size_t Count) = 0;
};

struct ImportedNode {
  std::u16string Name;
  std::int32_t Parent = -1; // index of the folder holding it; the root (index 0) has none
  bool Folder = false;
  bool Hidden = false;
  TDateTime Utc = 0; // the date recorded, as universal time
  std::uint64_t Size = 0;
  std::uint64_t Offset = 0; // the data's first byte in the image
  // The data is not one run of the image (interleaved, or extents apart): it cannot be copied.
  bool Scattered = false;
};

// One El Torito entry of the catalog, as data.
struct ImportedBootEntry {
  std::uint8_t Platform = 0; // 0 x86 BIOS, 0xEF UEFI
  std::uint8_t Media = 0;    // 0 no emulation, 1-3 floppies, 4 hard disk
  std::uint16_t LoadSegment = 0;
  std::uint8_t SystemType = 0;
  std::uint16_t LoadSectors = 0; // 512-byte sectors
  std::uint32_t ImageSector = 0;
  bool InfoTable = false;  // the image carries a boot info table that names its own place
  std::int32_t Node = -1;  // the file of the tree whose data is the boot image; -1: none
  std::uint64_t Bytes = 0; // the boot image's size: its file's, else what the entry loads
};

struct ImportedImage {
  std::vector<ImportedNode> Nodes; // [0] is the root; every folder comes before what it holds
  std::vector<ImportedBootEntry> Boot;
  std::int32_t CatalogNode = -1; // the file of the tree that is the boot catalog, if any
  const char *Names = "";        // which tree was read: "UDF", "Joliet" or "ISO 9660"
  std::u16string Label;          // the volume label: Joliet's where there is one
};

// The most entries read from one image, and the most bytes of one folder's records.
constexpr std::size_t kMaxImportedNodes = 4000000;
constexpr std::uint64_t kMaxImportedFolderBytes = 64u << 20;

// Reads the image's tree; an empty text on success, otherwise the fault, in words.
std::string ReadImageTree(ImageBytes &Image, ImportedImage &Out);

} // namespace velmor
