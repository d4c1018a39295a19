#include "system_area.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "byte_order.h"

namespace velmor {

namespace {

constexpr std::uint64_t kBlocksPerSector = kSectorSize / 512;
constexpr std::uint32_t kHeads = 64, kSectorsPerHead = 32;
constexpr std::uint8_t kActive = 0x80;
constexpr std::uint8_t kIsoHybridType = 0x17;
constexpr std::uint8_t kEfiType = 0xEF;
constexpr std::uint32_t kGptEntryBytes = 128;
constexpr std::uint32_t kGptHeaderBytes = 92;
constexpr std::uint32_t kGptArrayBlocks = kGptEntries * kGptEntryBytes / 512;
// Basic data, EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, with its first three fields little-endian.
constexpr std::uint8_t kBasicDataType[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                             0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
// Required by the platform (bit 0) and read-only (bit 60), as xorriso marks its partitions.
constexpr std::uint64_t kGptFlags = 0x1000000000000001ull;

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t step) {
  return (value + step - 1) / step * step;
}

std::uint32_t Crc32(const std::uint8_t *data, std::size_t size) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i)
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// splitmix64: well spread bits from a seed, for the disk signature and GUIDs.
std::uint64_t Mix(std::uint64_t &state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Cylinder, head and sector of a block, as the MBR packs them; past 1024 cylinders the last
// one stands for all.
void PutChs(std::uint8_t *p, std::uint64_t block) {
  block = std::min<std::uint64_t>(block, std::uint64_t{1024} * kHeads * kSectorsPerHead - 1);
  const std::uint32_t cylinder = static_cast<std::uint32_t>(block / (kHeads * kSectorsPerHead));
  p[0] = static_cast<std::uint8_t>(block / kSectorsPerHead % kHeads);
  p[1] = static_cast<std::uint8_t>((block % kSectorsPerHead + 1) | ((cylinder >> 2) & 0xC0));
  p[2] = static_cast<std::uint8_t>(cylinder);
}

std::uint32_t Blocks32(std::uint64_t blocks) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks, 0xFFFFFFFFu));
}

const BootEntry *FirstEntryFor(const BootSpec &boot, BootPlatform platform) {
  for (const BootEntry &e : boot.Entries)
    if (e.Platform == platform)
      return &e;
  return nullptr;
}

std::uint64_t ImageBlock(const ImageLayout &layout, const BootEntry &e) {
  return std::uint64_t{FileSector(layout, *e.Image)} * kBlocksPerSector;
}

// The blocks the boot image's data takes. xorriso's GPT entry rounds down to whole 2048-byte
// sectors, which would cut off a file system's last blocks; both tables here hold it whole.
std::uint64_t ImageBlocks(const BootEntry &e) {
  return (static_cast<std::uint64_t>(e.Image->FileSize) + 511) / 512;
}

void PutGptEntry(std::uint8_t *p, const std::uint8_t *guid, std::uint64_t first, std::uint64_t last,
                 const char16_t *name) {
  std::memcpy(p, kBasicDataType, 16);
  std::memcpy(p + 16, guid, 16);
  Le64(p + 32, first);
  Le64(p + 40, last);
  Le64(p + 48, kGptFlags);
  for (std::size_t i = 0; name[i]; ++i)
    Le16(p + 56 + 2 * i, static_cast<std::uint16_t>(name[i]));
}

void PutGptHeader(std::uint8_t *p, std::uint64_t self, std::uint64_t other,
                  std::uint64_t firstUsable, std::uint64_t lastUsable, const std::uint8_t *diskGuid,
                  std::uint64_t array, std::uint32_t arrayCrc) {
  std::memcpy(p, "EFI PART", 8);
  Le32(p + 8, 0x00010000);
  Le32(p + 12, kGptHeaderBytes);
  Le64(p + 24, self);
  Le64(p + 32, other);
  Le64(p + 40, firstUsable);
  Le64(p + 48, lastUsable);
  std::memcpy(p + 56, diskGuid, 16);
  Le64(p + 72, array);
  Le32(p + 80, kGptEntries);
  Le32(p + 84, kGptEntryBytes);
  Le32(p + 88, arrayCrc);
  Le32(p + 16, Crc32(p, kGptHeaderBytes));
}

// The GPT both copies hold: the disk's GUID, the entry array and its checksum.
struct GptTables {
  std::uint8_t Disk[16];
  std::vector<std::uint8_t> Array;
  std::uint32_t ArrayCrc = 0;
  std::uint64_t FirstUsable = 0, LastUsable = 0;
};

// The seed of the disk signature and GUIDs, drawn in that order.
std::uint64_t SystemAreaSeed(const ImageLayout &layout, TDateTime now) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(now * 86400000.0)) ^ layout.ImageEnd;
}

std::uint64_t DiskBlocks(const ImageLayout &layout) {
  return (layout.ImageEnd - layout.StartSector) * kBlocksPerSector;
}

GptTables MakeGpt(const ImageLayout &layout, const BootEntry &efi, std::uint64_t &seed) {
  GptTables gpt;
  for (int half = 0; half < 2; ++half)
    Le64(gpt.Disk + 8 * half, Mix(seed));
  gpt.Disk[7] = static_cast<std::uint8_t>((gpt.Disk[7] & 0x0F) | 0x40); // version 4
  gpt.Disk[8] = static_cast<std::uint8_t>((gpt.Disk[8] & 0x3F) | 0x80); // variant 1
  gpt.FirstUsable = 2 + kGptArrayBlocks;
  gpt.LastUsable = DiskBlocks(layout) - 1 - kGptArrayBlocks - 1;
  gpt.Array.assign(std::size_t{kGptEntries} * kGptEntryBytes, 0);
  const std::uint64_t efiFirst = ImageBlock(layout, efi);
  std::uint8_t guid[16];
  std::memcpy(guid, gpt.Disk, 16);
  guid[9] ^= 1;
  PutGptEntry(gpt.Array.data(), guid, 0, gpt.LastUsable - 1, u"ISOHybrid");
  guid[9] ^= 3;
  PutGptEntry(gpt.Array.data() + kGptEntryBytes, guid, efiFirst, efiFirst + ImageBlocks(efi) - 1,
              u"ISOHybrid1");
  gpt.ArrayCrc = Crc32(gpt.Array.data(), gpt.Array.size());
  return gpt;
}

} // namespace

void SystemArea::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  (void)store, (void)layout, (void)next;
}

void SystemArea::Write(const CompilationStore &store, const ImageLayout &layout,
                       const HeaderOutput &out) const {
  (void)store;
  std::uint8_t *mbr = out.At(layout.StartSector);
  const std::uint64_t blocks = DiskBlocks(layout);
  std::uint64_t seed = SystemAreaSeed(layout, out.Now);
  std::memcpy(mbr, boot_.MbrCode.data(), kMbrCodeBytes);
  const BootEntry *bios = FirstEntryFor(boot_, BootPlatform::X86);
  Le64(mbr + 432, ImageBlock(layout, bios ? *bios : boot_.Entries.front()));
  Le32(mbr + 440, static_cast<std::uint32_t>(Mix(seed)));
  std::uint8_t *whole = mbr + 446;
  whole[0] = kActive;
  PutChs(whole + 1, 0);
  whole[4] = boot_.Gpt ? 0 : kIsoHybridType;
  PutChs(whole + 5, blocks - 1);
  Le32(whole + 12, Blocks32(blocks));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  const BootEntry *efi = FirstEntryFor(boot_, BootPlatform::Efi);
  if (!boot_.Gpt || !efi)
    return;

  std::uint8_t *part = mbr + 462;
  std::memset(part + 1, 0xFF, 3);
  part[1] = 0xFE; // beyond what CHS can say
  part[4] = kEfiType;
  std::memset(part + 5, 0xFF, 3);
  part[5] = 0xFE;
  Le32(part + 8, Blocks32(ImageBlock(layout, *efi)));
  Le32(part + 12, Blocks32(ImageBlocks(*efi)));

  const GptTables gpt = MakeGpt(layout, *efi, seed);
  std::memcpy(mbr + 2 * 512, gpt.Array.data(), gpt.Array.size());
  PutGptHeader(mbr + 512, 1, blocks - 1, gpt.FirstUsable, gpt.LastUsable, gpt.Disk, 2,
               gpt.ArrayCrc);
}

void HybridEnd::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  (void)store, (void)layout, (void)next;
}

void HybridEnd::PlaceAfterFiles(ImageLayout &layout) {
  const std::uint64_t start = layout.StartSector;
  const std::uint64_t filesEnd = layout.FirstFileSector + layout.FileSectors;
  std::uint64_t end;
  if (layout.WithUdf) {
    UdfLayout &udf = layout.Udf;
    const std::uint64_t anchor = std::max<std::uint64_t>(filesEnd, udf.PartitionStart + 1);
    end = start + RoundUp(anchor + 257 - start, kHybridAlignSectors);
    udf.LastAnchorSector = static_cast<std::uint32_t>(end - 257);
    udf.PartitionLength = udf.LastAnchorSector - udf.PartitionStart;
  } else {
    const std::uint32_t backup = boot_.Gpt ? kGptBackupSectors : 0;
    end = start + RoundUp(filesEnd + backup - start, kHybridAlignSectors);
  }
  layout.TrailerSectors = static_cast<std::uint32_t>(end - filesEnd);
  layout.ImageEnd = end;
}

void HybridEnd::Write(const CompilationStore &store, const ImageLayout &layout,
                      const HeaderOutput &out) const {
  (void)store;
  const BootEntry *efi = FirstEntryFor(boot_, BootPlatform::Efi);
  if (!boot_.Gpt || !efi)
    return;
  std::uint64_t seed = SystemAreaSeed(layout, out.Now);
  Mix(seed); // the disk signature's draw
  const GptTables gpt = MakeGpt(layout, *efi, seed);
  const std::uint64_t blocks = DiskBlocks(layout);
  // The header takes the last block, the entries the blocks before it.
  std::uint8_t *backupHeader = out.TrailerAt(layout.ImageEnd - kGptBackupSectors) +
                               std::size_t{kGptBackupSectors} * kSectorSize - 512;
  std::memcpy(backupHeader - gpt.Array.size(), gpt.Array.data(), gpt.Array.size());
  PutGptHeader(backupHeader, blocks - 1, 1, gpt.FirstUsable, gpt.LastUsable, gpt.Disk,
               blocks - 1 - kGptArrayBlocks, gpt.ArrayCrc);
}

} // namespace velmor
