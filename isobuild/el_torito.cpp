#include "el_torito.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "platform.h"

namespace velmor {

namespace {
constexpr std::uint8_t kBootRecordType = 0;
// The boot system identifier firmware compares before it reads the catalog: "EL TORITO " and
// the name of the standard, in ASCII.
constexpr std::uint8_t kBootSystemId[] = {0x45, 0x4C, 0x20, 0x54, 0x4F, 0x52, 0x49, 0x54,
                                          0x4F, 0x20, 0x53, 0x50, 0x45, 0x43, 0x49, 0x46,
                                          0x49, 0x43, 0x41, 0x54, 0x49, 0x4F, 0x4E};
constexpr std::uint8_t kValidationHeader = 1;
constexpr std::uint8_t kPlatformX86 = 0;
constexpr std::uint8_t kBootable = 0x88;
constexpr std::size_t kEntryBytes = 32;
} // namespace

bool FloppyMediaFor(std::uint64_t bytes, BootMedia &media) {
  switch (bytes) {
  case 1228800:
    media = BootMedia::Floppy1200;
    return true;
  case 1474560:
    media = BootMedia::Floppy1440;
    return true;
  case 2949120:
    media = BootMedia::Floppy2880;
    return true;
  default:
    return false;
  }
}

void PutBootRecord(std::uint8_t *sector, std::uint32_t catalogSector) {
  sector[0] = kBootRecordType;
  std::memcpy(sector + 1, "CD001", 5);
  sector[6] = 1;
  std::memcpy(sector + 7, kBootSystemId, sizeof kBootSystemId); // zero-padded to 32 bytes
  Le32(sector + 71, catalogSector);
}

void PutBootCatalog(std::uint8_t *sector, BootMedia media, std::uint16_t loadSectors,
                    std::uint32_t imageSector) {
  std::uint8_t *validation = sector;
  validation[0] = kValidationHeader;
  validation[1] = kPlatformX86;
  validation[30] = 0x55;
  validation[31] = 0xAA;
  // The checksum makes the sum of the entry's sixteen 16-bit words zero.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kEntryBytes; i += 2)
    sum += static_cast<std::uint32_t>(validation[i] | validation[i + 1] << 8);
  Le16(validation + 28, (0x10000u - (sum & 0xFFFFu)) & 0xFFFFu);

  std::uint8_t *initial = sector + kEntryBytes;
  initial[0] = kBootable;
  initial[1] = static_cast<std::uint8_t>(media);
  // Load segment 0 (the firmware's 0x7C0) and system type 0 stay as they are.
  Le16(initial + 6, loadSectors);
  Le32(initial + 8, imageSector);
}

std::array<std::uint8_t, kBootInfoTableBytes> BootInfoTable(std::uint32_t primaryDescriptorSector,
                                                            std::uint32_t imageSector,
                                                            std::uint32_t imageBytes,
                                                            std::uint32_t checksum) {
  std::array<std::uint8_t, kBootInfoTableBytes> table{};
  Le32(table.data(), primaryDescriptorSector);
  Le32(table.data() + 4, imageSector);
  Le32(table.data() + 8, imageBytes);
  Le32(table.data() + 12, checksum);
  return table;
}

bool BootImageChecksum(SourceFile &file, std::uint64_t size, std::uint32_t &checksum) {
  std::vector<std::uint8_t> buffer(65536);
  std::uint64_t at = 0;
  std::uint32_t sum = 0;
  while (at < size) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - at, buffer.size()));
    if (file.Read(buffer.data(), want) != static_cast<std::int64_t>(want))
      return false;
    // Chunks start at multiples of 4, so words never straddle two of them.
    const std::size_t from =
        at < kBootInfoChecksumStart
            ? static_cast<std::size_t>(std::min<std::uint64_t>(kBootInfoChecksumStart - at, want))
            : 0;
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(want),
              buffer.begin() + static_cast<std::ptrdiff_t>(std::min(want + 3, buffer.size())), 0);
    for (std::size_t i = from; i < want; i += 4)
      sum += ReadLe32(buffer.data() + i);
    at += want;
  }
  checksum = sum;
  return true;
}

void DataPatch::ApplyTo(const TEntryNode &entry, std::uint64_t at, std::uint8_t *data,
                        std::size_t count) const {
  if (&entry != Entry || Bytes.empty())
    return;
  const std::uint64_t begin = std::max(at, Offset);
  const std::uint64_t end = std::min<std::uint64_t>(at + count, Offset + Bytes.size());
  if (begin < end)
    std::memcpy(data + (begin - at), Bytes.data() + (begin - Offset),
                static_cast<std::size_t>(end - begin));
}

} // namespace velmor
