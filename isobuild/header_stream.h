#pragma once
// The component's image header, from the header build until it has been written out, and the few
// sectors that follow the last file (the trailer; only UDF has one). The header is the sectors
// kept in memory, then optionally a run of sectors that are made only while the image is streamed
// (UDF's file entries of files: one sector each, too many to hold for a big tree).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace velmor {

// Sectors made on demand, in order, at the end of the header.
class THeaderSectors {
public:
  virtual ~THeaderSectors() = default;
  virtual std::uint64_t Count() const = 0;
  // Writes `count` sectors from sector `first` of the run into `out`. Quickest when each call
  // starts where the previous one ended, as a write does.
  virtual void Fill(std::uint64_t first, std::size_t count, std::uint8_t *out) = 0;
};

class THeaderStream {
public:
  static constexpr std::size_t kSectorBytes = 2048; // the builder's kSectorSize, below layout.h

  // The sectors kept in memory.
  const std::uint8_t *Data() const { return bytes_.data(); }
  std::size_t StoredSize() const { return bytes_.size(); }
  std::vector<std::uint8_t> &Bytes() { return bytes_; }
  // The whole header: the kept sectors and the made ones.
  std::uint64_t Size() const {
    return bytes_.size() + (made_ ? made_->Count() * std::uint64_t{kSectorBytes} : 0);
  }
  void SetMadeSectors(std::unique_ptr<THeaderSectors> made) { made_ = std::move(made); }

  // Copies `bytes` of the header from byte `offset` into `out`; where the made sectors begin,
  // offset and end fall on sector boundaries (true of every piece of whole sectors).
  void Read(std::uint64_t offset, std::size_t bytes, std::uint8_t *out) {
    if (offset < bytes_.size()) {
      const std::size_t kept = std::min(bytes, bytes_.size() - static_cast<std::size_t>(offset));
      std::memcpy(out, bytes_.data() + offset, kept);
      offset += kept;
      bytes -= kept;
      out += kept;
    }
    if (bytes > 0 && made_)
      made_->Fill((offset - bytes_.size()) / kSectorBytes, bytes / kSectorBytes, out);
  }

  const std::vector<std::uint8_t> &Trailer() const { return trailer_; }
  std::vector<std::uint8_t> &Trailer() { return trailer_; }
  // Gives the header's memory back once it has been queued; the trailer stays until the end.
  void ReleaseHeader() {
    std::vector<std::uint8_t>().swap(bytes_);
    made_.reset();
  }
  // Empties the stream and gives its memory back.
  void Clear() {
    ReleaseHeader();
    std::vector<std::uint8_t>().swap(trailer_);
  }

private:
  std::vector<std::uint8_t> bytes_;
  std::unique_ptr<THeaderSectors> made_;
  std::vector<std::uint8_t> trailer_;
};

} // namespace velmor
