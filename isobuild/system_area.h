#pragma once
// The system area of a hybrid image (the first 16 sectors, which ISO 9660 leaves to the
// system), as isohybrid and xorriso make it, so the image also boots as a disk (a USB stick):
// the user's MBR boot code, which finds the BIOS boot image by the address patched in after it,
// and one partition over the whole image; with a GPT besides, the UEFI boot image gets an MBR
// partition of type 0xEF, and the GPT names the image and the UEFI boot image as basic data,
// its backup at the image's end. Disks count in 512-byte blocks, the image's size in whole
// cylinders of 64 heads and 32 sectors (1 MiB).
#include <cstdint>

#include "layout.h"

namespace velmor {

constexpr std::uint32_t kHybridAlignSectors = 512;
// The GPT's entry array fills the system area from its third block: 62 blocks of 4 entries.
constexpr std::uint32_t kGptEntries = 248;
// After the last data: the backup entry array and header, in whole sectors.
constexpr std::uint32_t kGptBackupSectors = 16;

// Lengthens the laid-out image to whole cylinders, with room at the end for the backup GPT, and
// with UDF moves the last anchor 256 sectors before the last sector (the GPT keeps the last
// one): the trailer then runs from the last file to the end.
void PlaceHybridEnd(ImageLayout &layout, const BootSpec &boot);

// Writes the MBR (and GPT) into `systemArea` (16 zero sectors) and the backup GPT into the end
// of `trailer` (the layout's trailer sectors). The disk signature and GUIDs come from `now`
// and the image's size, as xorriso takes them from the time.
void PutSystemArea(std::uint8_t *systemArea, std::uint8_t *trailer, const BootSpec &boot,
                   const ImageLayout &layout, TDateTime now);

} // namespace velmor
