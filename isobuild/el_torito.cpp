#include "el_torito.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "platform.h"

namespace velmor {

namespace {
constexpr std::uint8_t kBootRecordType = 0;
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
  for (const Piece &piece : Pieces) {
    if (&entry != piece.Entry || piece.Bytes.empty())
      continue;
    const std::uint64_t begin = std::max(at, piece.Offset);
    const std::uint64_t end =
        std::min<std::uint64_t>(at + count, piece.Offset + piece.Bytes.size());
    if (begin < end)
      std::memcpy(data + (begin - at), piece.Bytes.data() + (begin - piece.Offset),
                  static_cast<std::size_t>(end - begin));
  }
}

} // namespace velmor
