#include "chd_file.h"

#include <algorithm>
#include <cstring>

#include "big_endian.h"
#include "crc16.h"

namespace velmor::imagesource::chd {
namespace {

constexpr uint32_t kHeaderV5Bytes = 124;
// Far above what chdman makes (a CD's hunk is 19,584 bytes; a hard disk's 4 KiB to 64 KiB) and
// low enough that a header cannot make the reader claim gigabytes.
constexpr uint32_t kMaxHunkBytes = 16u << 20;
constexpr uint64_t kMaxHunks = 1u << 24;
constexpr size_t kMaxMetadataEntries = 1024;
constexpr uint32_t kMaxMetadataBytes = 1u << 16;
// Decoded hunks kept: 2 MiB of them, at least 4.
constexpr size_t kCacheBytes = 2u << 20;

std::string TagText(uint32_t tag) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = char(tag >> shift);
    s += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return s;
}

std::string Hex(const uint8_t *bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}

bool ReadMetadata(RandomAccessFile &file, uint64_t at, std::vector<MetadataEntry> *entries) {
  while (at != 0) {
    uint8_t head[16];
    if (entries->size() == kMaxMetadataEntries || at > file.Size() ||
        file.Size() - at < sizeof head || !file.ReadAt(at, head, sizeof head))
      return false;
    const uint32_t length = Big(head + 5, 3);
    if (length > kMaxMetadataBytes || file.Size() - at - sizeof head < length)
      return false;
    MetadataEntry e{Big(head, 4), std::string(length, '\0')};
    if (length != 0 && !file.ReadAt(at + sizeof head, e.data.data(), length))
      return false;
    entries->push_back(std::move(e));
    at = Big64(head + 8, 8);
  }
  return true;
}

} // namespace

bool ChdHeader::HasParent() const {
  return std::any_of(std::begin(parentSha1), std::end(parentSha1), [](uint8_t b) { return b; });
}

std::unique_ptr<ChdFile> ChdFile::Open(std::unique_ptr<RandomAccessFile> file,
                                       OpenProblem *problem) {
  uint8_t raw[kHeaderV5Bytes];
  if (file->Size() < 16 || !file->ReadAt(0, raw, 16) ||
      std::memcmp(raw, kChdSignature, sizeof kChdSignature) != 0) {
    problem->text = "not a CHD file";
    return nullptr;
  }
  std::unique_ptr<ChdFile> chd(new ChdFile);
  ChdHeader &h = chd->header_;
  h.version = Big(raw + 12, 4);
  if (h.version != 5) {
    problem->text = "a CHD of version " + std::to_string(h.version) +
                    ", which is not read here: chdman copy makes a version 5 CHD of it";
    return nullptr;
  }
  if (Big(raw + 8, 4) != kHeaderV5Bytes || file->Size() < kHeaderV5Bytes ||
      !file->ReadAt(0, raw, kHeaderV5Bytes)) {
    problem->text = "the CHD's header is broken or cut short";
    return nullptr;
  }
  for (int i = 0; i < 4; ++i)
    h.codecs[i] = Big(raw + 16 + 4 * i, 4);
  h.logicalBytes = Big64(raw + 32, 8);
  h.mapOffset = Big64(raw + 40, 8);
  h.metaOffset = Big64(raw + 48, 8);
  h.hunkBytes = Big(raw + 56, 4);
  h.unitBytes = Big(raw + 60, 4);
  std::memcpy(h.parentSha1, raw + 104, 20);
  if (h.hunkBytes == 0 || h.hunkBytes > kMaxHunkBytes || h.unitBytes == 0 ||
      h.hunkBytes % h.unitBytes != 0 ||
      (h.logicalBytes + h.hunkBytes - 1) / h.hunkBytes > kMaxHunks) {
    problem->text = "the CHD's header is broken (impossible hunk or unit size)";
    return nullptr;
  }
  h.hunkCount = uint32_t((h.logicalBytes + h.hunkBytes - 1) / h.hunkBytes);
  if (h.HasParent()) {
    problem->text = "the CHD holds only its differences from a parent CHD (SHA-1 " +
                    Hex(h.parentSha1, 20) +
                    "), which is not opened with it: chdman copy makes a CHD that stands alone";
    return nullptr;
  }
  for (int i = 0; i < 4; ++i) {
    if (h.codecs[i] == 0)
      continue;
    chd->codecs_[i] = MakeHunkCodec(h.codecs[i], h.hunkBytes);
    if (!chd->codecs_[i]) {
      problem->text =
          "the CHD uses the codec \"" + TagText(h.codecs[i]) + "\", which is not read here";
      return nullptr;
    }
  }
  std::string why;
  if (!ReadMap(*file, h, &chd->map_, &why)) {
    problem->text = "the CHD cannot be read: " + why;
    return nullptr;
  }
  for (const HunkEntry &e : chd->map_) {
    if (e.kind == HunkEntry::kCodec && !chd->codecs_[e.codec]) {
      problem->text = "the CHD cannot be read: its map names a codec its header does not";
      return nullptr;
    }
  }
  if (!ReadMetadata(*file, h.metaOffset, &chd->metadata_)) {
    problem->text = "the CHD cannot be read: its metadata is broken or cut short";
    return nullptr;
  }
  chd->file_ = std::move(file);
  chd->cache_.resize(std::max<size_t>(4, kCacheBytes / h.hunkBytes));
  return chd;
}

ReadResult ChdFile::Decode(const HunkEntry &e, uint8_t *out) {
  const uint32_t n = header_.hunkBytes;
  switch (e.kind) {
  case HunkEntry::kZeros:
    std::memset(out, 0, n);
    return ReadResult::kOk;
  case HunkEntry::kUnchecked:
    return file_->ReadAt(e.offset, out, n) ? ReadResult::kOk : ReadResult::kIoError;
  case HunkEntry::kStored:
    if (!file_->ReadAt(e.offset, out, n))
      return ReadResult::kIoError;
    break;
  case HunkEntry::kCodec:
    compressed_.resize(e.length);
    if (!file_->ReadAt(e.offset, compressed_.data(), e.length))
      return ReadResult::kIoError;
    if (!codecs_[e.codec]->Decode(compressed_.data(), e.length, out, n))
      return ReadResult::kDataError;
    break;
  case HunkEntry::kSameAs:
    return ReadResult::kDataError; // resolved by the caller
  }
  ++decoded_;
  return Crc16(out, n) == e.crc ? ReadResult::kOk : ReadResult::kDataError;
}

const uint8_t *ChdFile::Hunk(uint32_t n, ReadResult *result) {
  if (n >= map_.size()) {
    *result = ReadResult::kDataError;
    return nullptr;
  }
  if (map_[n].kind == HunkEntry::kSameAs)
    n = uint32_t(map_[n].offset);
  if (cache_[last_].hunk == n) { // a hunk holds several sectors, read one after another
    *result = ReadResult::kOk;
    return cache_[last_].bytes.data();
  }
  Slot *victim = &cache_[0];
  for (Slot &s : cache_) {
    if (s.hunk == n) {
      s.used = ++clock_;
      last_ = size_t(&s - cache_.data());
      *result = ReadResult::kOk;
      return s.bytes.data();
    }
    if (s.used < victim->used)
      victim = &s;
  }
  victim->bytes.resize(header_.hunkBytes);
  victim->hunk = UINT32_MAX;
  *result = Decode(map_[n], victim->bytes.data());
  if (*result != ReadResult::kOk)
    return nullptr;
  victim->hunk = n;
  victim->used = ++clock_;
  last_ = size_t(victim - cache_.data());
  return victim->bytes.data();
}

} // namespace velmor::imagesource::chd
