// A CHD version 5 file: its header, its map of hunks, its metadata, and its hunks decoded,
// each checked against the CRC the map keeps for it before anyone sees it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hunk_codec.h"
#include "image_source.h"

namespace velmor::imagesource::chd {

inline constexpr char kChdSignature[8] = {'M', 'C', 'o', 'm', 'p', 'r', 'H', 'D'};

struct ChdHeader {
  uint32_t version = 0;
  uint32_t codecs[4] = {};
  uint64_t logicalBytes = 0;
  uint64_t mapOffset = 0;
  uint64_t metaOffset = 0;
  uint32_t hunkBytes = 0;
  uint32_t unitBytes = 0;
  uint32_t hunkCount = 0;
  uint8_t parentSha1[20] = {};
  bool HasParent() const;
  bool Compressed() const { return codecs[0] != 0; }
};

// Where a hunk's bytes come from, as the map says once decoded.
struct HunkEntry {
  enum Kind : uint8_t {
    kCodec,     // `length` bytes at `offset`, in codec `codec`
    kStored,    // the hunk's bytes as they are, at `offset`
    kSameAs,    // the same bytes as hunk `offset` (an earlier one, itself no kSameAs)
    kZeros,     // all zeros (an uncompressed map's empty entry)
    kUnchecked, // an uncompressed map's hunk: stored at `offset`, with no CRC to check
  };
  Kind kind = kZeros;
  uint8_t codec = 0;
  uint16_t crc = 0;
  uint32_t length = 0;
  uint64_t offset = 0;
};

struct MetadataEntry {
  uint32_t tag;
  std::string data;
};

class ChdFile {
public:
  // The file opened and its map and metadata read; null with `problem` set when the file is no
  // CHD this reader takes or is broken.
  static std::unique_ptr<ChdFile> Open(std::unique_ptr<RandomAccessFile> file,
                                       OpenProblem *problem);

  const ChdHeader &Header() const { return header_; }
  const std::vector<MetadataEntry> &Metadata() const { return metadata_; }

  // Hunk `n` decoded and checked, valid until the next call; null with `*result` set when it
  // cannot be read or fails its check. A few hunks stay decoded, so sequential reads decode
  // each once.
  const uint8_t *Hunk(uint32_t n, ReadResult *result);

  // How many hunks were decoded since the file was opened (for tests and benchmarks).
  uint64_t HunksDecoded() const { return decoded_; }

private:
  ChdFile() = default;
  ReadResult Decode(const HunkEntry &entry, uint8_t *out);

  std::unique_ptr<RandomAccessFile> file_;
  ChdHeader header_;
  std::vector<HunkEntry> map_;
  std::vector<MetadataEntry> metadata_;
  std::unique_ptr<HunkCodec> codecs_[4];
  std::vector<uint8_t> compressed_;
  struct Slot {
    uint32_t hunk = UINT32_MAX;
    uint64_t used = 0;
    std::vector<uint8_t> bytes;
  };
  std::vector<Slot> cache_;
  size_t last_ = 0; // the slot read last
  uint64_t clock_ = 0;
  uint64_t decoded_ = 0;
};

// The map of a version 5 header, each entry checked against the file's size; false with
// `*why` set when it is broken.
bool ReadMap(RandomAccessFile &file, const ChdHeader &header, std::vector<HunkEntry> *map,
             std::string *why);

} // namespace velmor::imagesource::chd
