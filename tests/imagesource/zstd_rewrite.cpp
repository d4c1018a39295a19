#include "zstd_rewrite.h"

#include <zstd.h>

#include <vector>

#include "chd/big_endian.h"
#include "chd/cd_codec.h"
#include "chd/chd_file.h"
#include "chd/crc16.h"
#include "file_image.h"

namespace velmor::imagesource {
namespace {

using namespace chd;

class BitWriter {
public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ % 8 == 0)
        bytes_.push_back(0);
      if (value >> i & 1)
        bytes_.back() |= uint8_t(0x80 >> (used_ % 8));
      ++used_;
    }
  }
  const std::string &Bytes() const { return bytes_; }

private:
  std::string bytes_;
  size_t used_ = 0;
};

void PutBig(std::string &s, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    s[at + i] = char(v >> (8 * (bytes - 1 - i)));
}
void AppendBig(std::string &s, uint64_t v, int bytes) {
  s.resize(s.size() + bytes);
  PutBig(s, s.size() - bytes, v, bytes);
}

std::string Zstd(const uint8_t *data, size_t length) {
  std::string out(ZSTD_compressBound(length), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), data, length, 3));
  return out;
}

// A CD hunk as cdzs keeps it: no sector's ECC taken out, the sectors' zstd, the subchannels'.
std::string CdZstd(const uint8_t *hunk, uint32_t hunkBytes) {
  const uint32_t frames = hunkBytes / kCdFrameBytes;
  std::string sectors, sub;
  for (uint32_t f = 0; f < frames; ++f) {
    const uint8_t *frame = hunk + f * kCdFrameBytes;
    sectors.append(reinterpret_cast<const char *>(frame), kCdSectorBytes);
    sub.append(reinterpret_cast<const char *>(frame) + kCdSectorBytes, kCdSubchannelBytes);
  }
  const std::string base = Zstd(reinterpret_cast<const uint8_t *>(sectors.data()), sectors.size());
  std::string out((frames + 7) / 8, '\0');
  AppendBig(out, base.size(), hunkBytes < 65536 ? 2 : 3);
  return out + base + Zstd(reinterpret_cast<const uint8_t *>(sub.data()), sub.size());
}

} // namespace

std::string RewriteWithZstd(const std::string &bytes) {
  OpenProblem problem;
  auto file = ChdFile::Open(std::make_unique<MemoryFile>(bytes), &problem);
  if (!file)
    return "";
  const ChdHeader &h = file->Header();
  const bool cd = h.unitBytes == kCdFrameBytes;
  std::string out = bytes.substr(0, 124);
  PutBig(out, 16, cd ? Tag("cdzs") : Tag("zstd"), 4);
  for (int i = 1; i < 4; ++i)
    PutBig(out, 16 + 4 * i, 0, 4);
  // Metadata, each entry pointing at the next.
  PutBig(out, 48, file->Metadata().empty() ? 0 : out.size(), 8);
  for (size_t i = 0; i < file->Metadata().size(); ++i) {
    const MetadataEntry &m = file->Metadata()[i];
    const size_t next = out.size() + 16 + m.data.size();
    AppendBig(out, m.tag, 4);
    AppendBig(out, uint32_t(0x01) << 24 | uint32_t(m.data.size()), 4);
    AppendBig(out, i + 1 < file->Metadata().size() ? next : 0, 8);
    out += m.data;
  }
  // The hunks, then the map: every hunk's kind, then its length and CRC.
  struct Entry {
    uint8_t kind;
    uint32_t length;
    uint16_t crc;
  };
  std::vector<Entry> entries;
  const uint64_t first = out.size();
  for (uint32_t n = 0; n < h.hunkCount; ++n) {
    ReadResult result;
    const uint8_t *hunk = file->Hunk(n, &result);
    if (hunk == nullptr)
      return "";
    std::string packed = cd ? CdZstd(hunk, h.hunkBytes) : Zstd(hunk, h.hunkBytes);
    const uint16_t crc = Crc16(hunk, h.hunkBytes);
    if (packed.size() < h.hunkBytes) {
      entries.push_back({0, uint32_t(packed.size()), crc});
      out += packed;
    } else {
      entries.push_back({4, h.hunkBytes, crc});
      out.append(reinterpret_cast<const char *>(hunk), h.hunkBytes);
    }
  }
  BitWriter bits;
  for (int code = 0; code < 16; ++code)
    bits.Put(4, 4); // each of the 16 kinds 4 bits long: kind k is coded as k
  for (const Entry &e : entries)
    bits.Put(e.kind, 4);
  constexpr int kLengthBits = 24;
  uint16_t mapCrc = 0xFFFF;
  uint64_t at = first;
  for (const Entry &e : entries) {
    if (e.kind == 0)
      bits.Put(e.length, kLengthBits);
    bits.Put(e.crc, 16);
    uint8_t raw[12] = {e.kind, uint8_t(e.length >> 16), uint8_t(e.length >> 8), uint8_t(e.length)};
    for (int b = 0; b < 6; ++b)
      raw[4 + b] = uint8_t(at >> (40 - 8 * b));
    raw[10] = uint8_t(e.crc >> 8);
    raw[11] = uint8_t(e.crc);
    mapCrc = Crc16(raw, sizeof raw, mapCrc);
    at += e.length;
  }
  PutBig(out, 40, out.size(), 8);
  AppendBig(out, bits.Bytes().size(), 4);
  AppendBig(out, first, 6);
  AppendBig(out, mapCrc, 2);
  out += char(kLengthBits);
  out += std::string(3, '\0'); // self and parent references: none
  return out + bits.Bytes();
}

} // namespace velmor::imagesource
