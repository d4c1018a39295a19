#pragma once
// The ripper's raw road, apart from its window: the planned tracks read from the drive (raw
// sectors, or user data for a track the drive does not read raw) into one file each, with the
// checksums of every file and of every sector, and the verify pass that reads the disc again.
#include "Checksums.h"
#include "DiscPlan.h"
#include "SumWorkers.h"
#include "VolumeCopy.h"

#include <functional>
#include <memory>

namespace velmor {

// Raw reads of a 64 KiB buffer: what every drive takes in one request.
constexpr std::uint32_t kRawReadSectors = 27;

class DiscSource {
public:
  virtual ~DiscSource() = default;
  // `count` sectors from `lba`: 2,352 raw bytes each in the form's read mode, or the 2,048
  // user bytes for TrackForm::kCooked. False when the drive fails the read.
  virtual bool ReadSectors(std::uint32_t lba, std::uint32_t count, TrackForm form,
                           std::uint8_t *buffer) = 0;
};

// A target that passes its writes on and sums them: the file's CRC-32 and SHA-1, and, where
// asked for (the verify pass needs them), a CRC-32 of each sector, from which the file's is
// then put together. The sums run on threads of their own (SumWorkers).
class SummingTarget final : public ImageTarget {
public:
  // `sectorSums` null: no sector's sum.
  SummingTarget(ImageTarget &inner, std::uint32_t sectorBytes,
                std::vector<std::uint32_t> *sectorSums);
  ~SummingTarget() override;
  std::uint32_t Write(const void *data, std::uint32_t size) override;
  void Discard() override { inner_.Discard(); }
  // Waits for the sums of everything written; the sectors' are appended to `sectorSums`.
  FileSum Finish(const std::string &name);

private:
  void SumSectors(const std::uint8_t *data, std::size_t size);

  ImageTarget &inner_;
  const std::uint32_t sectorBytes_;
  std::vector<std::uint32_t> *const sectorSums_;
  Crc32 fileCrc_;
  Sha1 fileSha1_;
  // The sectors' sums, kept by the worker until Finish: the caller's vector is the caller's.
  std::vector<std::uint32_t> newSectorSums_;
  Crc32 sector_;
  std::uint32_t inSector_ = 0;
  std::unique_ptr<SumWorkers> workers_; // last: they end before the sums they feed go
};

// Opens the file of a planned track, named in the image's folder; null when it cannot be made.
using TrackFileOpener = std::function<std::unique_ptr<ImageTarget>(const std::string &name)>;

// After every read: bytes done of the whole disc and the track being read; true aborts.
using DiscProgress = std::function<bool(std::uint64_t done, std::uint8_t track)>;

struct DiscRipResult {
  RipEnd end = RipEnd::Finished;
  std::uint32_t failedLba = 0;     // the block of a failed read, or of a failed write
  std::string failedFile;          // the file that could not be made or written
  std::uint64_t zeroedSectors = 0; // unreadable sectors written as FillUnreadableSector makes them
  std::vector<FileSum> sums;       // one per track file
  std::vector<std::uint32_t> sectorSums; // CRC-32 of every sector written, in disc order, if asked
};

// Each track's pregap where the drive shows it: after a track of the other kind (audio after
// data, data after audio), the blocks before INDEX 01 that read in this track's form but not
// in the one before's (at most four seconds). The first track's is every block before it.
std::vector<std::uint32_t> FindPregaps(DiscSource &source, const DiscToc &toc,
                                       const std::vector<TrackForm> &forms);

// The bytes the plan's files take together.
std::uint64_t PlannedBytes(const std::vector<PlannedTrack> &plan);

// Copies every track into its file, with each sector's sum when `sumSectors`. Every end but
// Finished discards all files made so far.
DiscRipResult CopyDisc(DiscSource &source, const std::vector<PlannedTrack> &plan,
                       const TrackFileOpener &open, bool ignoreBadSectors, bool sumSectors,
                       const DiscProgress &progress);

struct VerifyResult {
  RipEnd end = RipEnd::Finished;    // Aborted when asked to stop
  std::uint64_t differing = 0;      // sectors unlike the image's (an unreadable one counts)
  std::uint64_t firstDiffering = 0; // the first of them, as an index into the sector sums
};

// Reads the planned tracks again and compares each sector's CRC-32 with the copy's.
VerifyResult VerifyDisc(DiscSource &source, const std::vector<PlannedTrack> &plan,
                        const std::vector<std::uint32_t> &sectorSums, const DiscProgress &progress);

} // namespace velmor
