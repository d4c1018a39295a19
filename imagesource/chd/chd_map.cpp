// The map of a version 5 CHD. A compressed map is MAME's: a Huffman-coded kind per hunk (with
// runs), then per hunk its length, CRC or reference in bit fields of widths the map's header
// gives, the whole checked by a CRC-16 of the decoded 12-byte entries.
#include <cstring>

#include "big_endian.h"
#include "bit_reader.h"
#include "chd_file.h"
#include "chd_huffman.h"
#include "crc16.h"

namespace velmor::imagesource::chd {
namespace {

// The kinds as the map codes them.
enum : uint8_t {
  kType0 = 0, // ... kType3 = 3: the header's codecs
  kNone = 4,
  kSelf = 5,
  kParent = 6,
  kRleSmall = 7,
  kRleLarge = 8,
  kSelf0 = 9,
  kSelf1 = 10,
  kParentSelf = 11,
  kParent0 = 12,
  kParent1 = 13,
};

bool Fail(std::string *why, const char *text) {
  *why = text;
  return false;
}

bool ReadUncompressedMap(RandomAccessFile &file, const ChdHeader &h, std::vector<HunkEntry> *map,
                         std::string *why) {
  const uint64_t bytes = uint64_t(h.hunkCount) * 4;
  if (h.mapOffset > file.Size() || bytes > file.Size() - h.mapOffset)
    return Fail(why, "its map lies past the end of the file (a truncated file?)");
  std::vector<uint8_t> raw(bytes);
  if (bytes != 0 && !file.ReadAt(h.mapOffset, raw.data(), raw.size()))
    return Fail(why, "its map cannot be read");
  map->resize(h.hunkCount);
  for (uint32_t i = 0; i < h.hunkCount; ++i) {
    HunkEntry &e = (*map)[i];
    const uint64_t at = uint64_t(Big(&raw[i * 4], 4)) * h.hunkBytes;
    if (at == 0)
      continue; // kZeros
    if (at > file.Size() || h.hunkBytes > file.Size() - at)
      return Fail(why, "a hunk lies past the end of the file (a truncated file?)");
    e.kind = HunkEntry::kUnchecked;
    e.offset = at;
  }
  return true;
}

} // namespace

bool ReadMap(RandomAccessFile &file, const ChdHeader &h, std::vector<HunkEntry> *map,
             std::string *why) {
  if (!h.Compressed())
    return ReadUncompressedMap(file, h, map, why);
  uint8_t head[16];
  if (h.mapOffset > file.Size() || file.Size() - h.mapOffset < sizeof head ||
      !file.ReadAt(h.mapOffset, head, sizeof head))
    return Fail(why, "its map lies past the end of the file (a truncated file?)");
  const uint32_t mapBytes = Big(head, 4);
  const uint64_t firstOffset = Big64(head + 4, 6);
  const uint16_t mapCrc = uint16_t(Big(head + 10, 2));
  const uint8_t lengthBits = head[12], selfBits = head[13], parentBits = head[14];
  if (lengthBits > 32 || selfBits > 32 || parentBits > 32)
    return Fail(why, "its map is broken");
  if (mapBytes > file.Size() - h.mapOffset - sizeof head)
    return Fail(why, "its map lies past the end of the file (a truncated file?)");
  std::vector<uint8_t> packed(mapBytes);
  if (mapBytes != 0 && !file.ReadAt(h.mapOffset + sizeof head, packed.data(), packed.size()))
    return Fail(why, "its map cannot be read");

  BitReader bits(packed.data(), packed.size());
  HuffmanDecoder kinds(16, 8);
  if (!kinds.ImportTreeRle(bits))
    return Fail(why, "its map is broken");
  std::vector<uint8_t> kind(h.hunkCount);
  uint32_t repeat = 0;
  uint8_t last = 0;
  for (uint32_t i = 0; i < h.hunkCount; ++i) {
    if (repeat > 0) {
      kind[i] = last;
      --repeat;
      continue;
    }
    const uint32_t v = kinds.Decode(bits);
    if (v == kRleSmall) {
      kind[i] = last;
      repeat = 2 + kinds.Decode(bits);
    } else if (v == kRleLarge) {
      kind[i] = last;
      repeat = 2 + 16 + (kinds.Decode(bits) << 4);
      repeat += kinds.Decode(bits);
    } else {
      kind[i] = last = uint8_t(v);
    }
    if (bits.Overflowed() || kinds.Failed())
      return Fail(why, "its map is broken");
  }

  // The map's own CRC is over the entries as MAME keeps them (kind, 24-bit length, 48-bit
  // offset, CRC).
  uint16_t entriesCrc = 0xFFFF;
  map->assign(h.hunkCount, HunkEntry{});
  uint64_t at = firstOffset;
  uint64_t lastSelf = 0;
  uint64_t lastParent = 0;
  const uint64_t unitsPerHunk = h.hunkBytes / h.unitBytes;
  for (uint32_t i = 0; i < h.hunkCount; ++i) {
    uint8_t k = kind[i];
    uint64_t offset = at;
    uint32_t length = 0;
    uint16_t crc = 0;
    switch (k) {
    case kType0:
    case kType0 + 1:
    case kType0 + 2:
    case kType0 + 3:
      length = bits.Read(lengthBits);
      at += length;
      crc = uint16_t(bits.Read(16));
      break;
    case kNone:
      length = h.hunkBytes;
      at += length;
      crc = uint16_t(bits.Read(16));
      break;
    case kSelf:
      lastSelf = offset = bits.Read(selfBits);
      break;
    case kParent:
      lastParent = offset = bits.Read(parentBits);
      break;
    case kSelf1:
      ++lastSelf;
      [[fallthrough]];
    case kSelf0:
      k = kSelf;
      offset = lastSelf;
      break;
    case kParentSelf:
      k = kParent;
      lastParent = offset = uint64_t(i) * unitsPerHunk;
      break;
    case kParent1:
      lastParent += unitsPerHunk;
      [[fallthrough]];
    case kParent0:
      k = kParent;
      offset = lastParent;
      break;
    default:
      return Fail(why, "its map is broken");
    }
    uint8_t r[12];
    r[0] = k;
    for (int b = 0; b < 3; ++b)
      r[1 + b] = uint8_t(length >> (16 - 8 * b));
    for (int b = 0; b < 6; ++b)
      r[4 + b] = uint8_t(offset >> (40 - 8 * b));
    r[10] = uint8_t(crc >> 8);
    r[11] = uint8_t(crc);
    entriesCrc = Crc16(r, sizeof r, entriesCrc);

    HunkEntry &e = (*map)[i];
    e.crc = crc;
    e.length = length;
    e.offset = offset;
    if (k <= kType0 + 3) {
      e.kind = HunkEntry::kCodec;
      e.codec = k;
    } else if (k == kNone) {
      e.kind = HunkEntry::kStored;
    } else if (k == kSelf) {
      e.kind = HunkEntry::kSameAs;
    } else {
      return Fail(why, "it takes hunks from a parent CHD");
    }
  }
  if (bits.Overflowed() || entriesCrc != mapCrc)
    return Fail(why, "its map is broken (its CRC does not match)");

  for (uint32_t i = 0; i < h.hunkCount; ++i) {
    HunkEntry &e = (*map)[i];
    if (e.kind == HunkEntry::kSameAs) {
      // Only ever an earlier hunk; pointing at the one it points at keeps reads one step deep.
      if (e.offset >= i)
        return Fail(why, "its map is broken (a hunk refers to a later one)");
      const HunkEntry &target = (*map)[size_t(e.offset)];
      if (target.kind == HunkEntry::kSameAs)
        e.offset = target.offset;
      continue;
    }
    if (e.kind == HunkEntry::kCodec && (e.length == 0 || e.length > h.hunkBytes))
      return Fail(why, "its map is broken (a hunk's length is impossible)");
    if (e.offset > file.Size() || e.length > file.Size() - e.offset)
      return Fail(why, "a hunk lies past the end of the file (a truncated file?)");
  }
  return true;
}

} // namespace velmor::imagesource::chd
