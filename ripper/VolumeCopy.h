#pragma once
// The ripper's copy loop, apart from its window: a volume read in 2 MiB blocks into an image
// file, byte k of the volume at byte k of the image. Sources and targets are small interfaces
// so that tests can hand it short reads, failed reads and failed writes.
#include <cstdint>
#include <functional>

namespace velmor {

// Progress is reported, and an abort heard, once per block; reads and writes go in chunks.
constexpr std::uint32_t kRipBlockSize = 2097152;
constexpr std::uint32_t kRipChunkSize = 131072;
constexpr std::uint32_t kRipSectorSize = 2048;

class VolumeSource {
public:
  virtual ~VolumeSource() = default;
  // Reads up to `size` bytes from byte `offset` of the volume into `buffer`. Returns false when
  // the read fails; otherwise `got` is the number of bytes read, 0 at the end of the medium.
  virtual bool Read(std::uint64_t offset, void *buffer, std::uint32_t size, std::uint32_t &got) = 0;
};

class ImageTarget {
public:
  virtual ~ImageTarget() = default;
  // Appends `size` bytes; returns how many were written.
  virtual std::uint32_t Write(const void *data, std::uint32_t size) = 0;
  // Closes and deletes what was written: the copy did not finish.
  virtual void Discard() = 0;
};

enum class RipEnd { Finished, Aborted, ReadFailed, WriteFailed };

struct RipResult {
  RipEnd end = RipEnd::Finished;
  std::uint64_t copied = 0;        // bytes written to the image
  std::uint64_t failedOffset = 0;  // volume offset of the failed read, or the first unwritten byte
  std::uint64_t zeroedSectors = 0; // unreadable sectors written as zeros
};

struct RipOptions {
  // The volume's size as the system reports it. A read that fails at or beyond it is the end of
  // the copy (the device may hold sectors past the file system); one that fails before it is
  // an error, unless bad sectors are ignored.
  std::uint64_t volumeSize = 0;
  // Read a block that fails again sector by sector and write zeros for sectors that still fail.
  bool ignoreBadSectors = false;
};

// Called after every block (and every sector read again) with the bytes copied so far; returns
// true to abort the copy.
using RipProgress = std::function<bool(std::uint64_t copied)>;

// Copies until a read delivers nothing; a read that delivers less than asked goes on from
// there. Every end but Finished discards the target. An abort asked for after the last block
// still wins over completion.
RipResult CopyVolume(VolumeSource &source, ImageTarget &target, const RipOptions &options,
                     const RipProgress &progress);

} // namespace velmor
