#pragma once
// The system area of a hybrid image (the first 16 sectors, which ISO 9660 leaves to the
// system), as isohybrid and xorriso make it, so the image also boots as a disk (a USB stick):
// the user's MBR boot code, which finds the BIOS boot image by the address patched in after it,
// and one partition over the whole image; with a GPT besides, the UEFI boot image gets an MBR
// partition of type 0xEF, and the GPT names the image and the UEFI boot image as basic data,
// its backup at the image's end. Disks count in 512-byte blocks, the image's size in whole
// cylinders of 64 heads and 32 sectors (1 MiB). The disk signature and GUIDs come from the
// header's clock and the image's size, as xorriso takes them from the time.
#include <cstdint>

#include "image_structure.h"

namespace velmor {

constexpr std::uint32_t kHybridAlignSectors = 512;
// The GPT's entry array fills the system area from its third block: 62 blocks of 4 entries.
constexpr std::uint32_t kGptEntries = 248;
// After the last data: the backup entry array and header, in whole sectors.
constexpr std::uint32_t kGptBackupSectors = 16;

// The MBR (and the GPT's header and entries) in the system area, sectors 0 to 15, which it writes
// without taking them (the layout starts the volume descriptors after them).
class SystemArea final : public ImageStructure {
public:
  explicit SystemArea(const BootSpec &boot) : boot_(boot) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  const BootSpec &boot_;
};

// The hybrid image's end, last of the structures as it sizes what the others placed: it
// lengthens the image to whole cylinders, with room at the end for the backup GPT, and with UDF
// moves the last anchor 256 sectors before the last sector (the GPT keeps the last one), so the
// trailer runs from the last file to the end; with a GPT it writes the backup there.
class HybridEnd final : public ImageStructure {
public:
  explicit HybridEnd(const BootSpec &boot) : boot_(boot) {}

  void Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) override;
  void PlaceAfterFiles(ImageLayout &layout) override;
  void Write(const CompilationStore &store, const ImageLayout &layout,
             const HeaderOutput &out) const override;

private:
  const BootSpec &boot_;
};

} // namespace velmor
