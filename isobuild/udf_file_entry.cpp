#include "udf_file_entry.h"

#include <cstring>

#include "byte_order.h"
#include "udf_fields.h"

namespace velmor::udf {

const char kImplementation[] = "*Velmor";

namespace {

constexpr std::uint8_t kTypeDirectory = 4;
constexpr std::uint8_t kTypeFile = 5;
// Read (and for folders search) for owner, group and others: the medium is read-only.
constexpr std::uint32_t kFilePermissions = 0x1084;
constexpr std::uint32_t kFolderPermissions = 0x14A5;
constexpr std::uint32_t kSectorsPerExtent = static_cast<std::uint32_t>(kMaxUdfExtentBytes / 2048);

class FileEntryRun final : public THeaderSectors {
public:
  FileEntryRun(const CompilationStore &store, const ImageLayout &layout)
      : store_(store), layout_(layout), zone_(store.TimeZoneOffset * 15) {}

  std::uint64_t Count() const override {
    return layout_.FirstFileSector - layout_.MadeHeaderSector;
  }

  void Fill(std::uint64_t first, std::size_t count, std::uint8_t *out) override {
    // The walk starts at the first call, not before: no entry is held across a change of the
    // compilation between the header build and the write.
    if (!walking_ || first < position_)
      Rewind();
    while (position_ < first)
      Advance();
    for (std::size_t i = 0; i < count; ++i, out += kSectorSize) {
      std::memset(out, 0, kSectorSize);
      if (entry_)
        PutEntrySector(out, Fields(*entry_), part_);
      Advance();
    }
  }

private:
  void Rewind() {
    walking_ = true;
    dir_ = 0;
    entry_ = store_.DirCount > 0 ? store_.Dirs[0]->FirstChild : nullptr;
    position_ = 0;
    SettleOnFile();
  }

  // Moves from entry_ on to the next file that has an entry, through the folders in order.
  void SettleOnFile() {
    for (;;) {
      while (entry_ && entry_->IsFolder())
        entry_ = entry_->Next;
      if (entry_ || ++dir_ >= store_.DirCount)
        break;
      entry_ = store_.Dirs[dir_]->FirstChild;
    }
    part_ = 0;
    parts_ = entry_ ? 1 + UdfContinuationBlocks(UdfExtentCount(entry_->FileSize)) : 0;
  }

  void Advance() {
    ++position_;
    if (entry_ && ++part_ == parts_) {
      entry_ = entry_->Next;
      SettleOnFile();
    }
  }

  EntryFields Fields(const TEntryNode &e) const {
    EntryFields f;
    f.Block = static_cast<std::uint32_t>(e.UdfEntryBlock);
    f.Size = static_cast<std::uint64_t>(e.FileSize);
    f.DataBlock = f.Size == 0 ? 0 : FileSector(layout_, e) - layout_.Udf.PartitionStart;
    f.Date = e.DateTime;
    f.Zone = zone_;
    f.UniqueId = kFirstUniqueId + f.Block;
    return f;
  }

  const CompilationStore &store_;
  const ImageLayout layout_;
  const int zone_;
  bool walking_ = false;
  std::int32_t dir_ = 0;
  const TEntryNode *entry_ = nullptr;
  std::uint32_t part_ = 0, parts_ = 0; // the entry's sector being made, and its count
  std::uint64_t position_ = 0;         // in the run
};

} // namespace

void PutEntrySector(std::uint8_t *p, const EntryFields &f, std::uint32_t index) {
  // The entry holds kUdfEntryAds descriptors, each allocation extent kUdfExtentBlockAds; a full
  // one gives its last slot to the descriptor (type 3) of the next.
  const std::uint32_t extents = UdfExtentCount(static_cast<std::int64_t>(f.Size));
  const std::uint32_t room = index == 0 ? kUdfEntryAds : kUdfExtentBlockAds;
  const std::uint32_t first =
      index == 0 ? 0 : kUdfEntryAds - 1 + (index - 1) * (kUdfExtentBlockAds - 1);
  const std::uint32_t left = extents > first ? extents - first : 0;
  const bool more = left > room;
  const std::uint32_t here = more ? room - 1 : left;
  std::uint8_t *ads = p + (index == 0 ? kUdfFileEntryBytes : kUdfAllocationExtentBytes);
  for (std::uint32_t k = 0; k < here; ++k) {
    const std::uint32_t extent = first + k;
    const std::uint64_t rest = f.Size - std::uint64_t{extent} * kMaxUdfExtentBytes;
    std::uint8_t *ad = ads + kUdfShortAdBytes * k;
    Le32(ad, static_cast<std::uint32_t>(rest < kMaxUdfExtentBytes ? rest : kMaxUdfExtentBytes));
    Le32(ad + 4, f.DataBlock + extent * kSectorsPerExtent);
  }
  std::uint32_t used = here;
  if (more) {
    std::uint8_t *ad = ads + kUdfShortAdBytes * used++;
    Le32(ad, 0xC0000000u | kSectorSize);
    Le32(ad + 4, f.Block + index + 1);
  }
  if (index > 0) {
    // The previous extent's location stays 0, as UDF wants it (ECMA 167 would allow it).
    Le32(p + 20, used * kUdfShortAdBytes);
    PutTag(p, kTagAllocationExtent, f.Block + index,
           kUdfAllocationExtentBytes + used * kUdfShortAdBytes);
    return;
  }
  Le16(p + 20, 4); // strategy 4: one direct entry
  Le16(p + 24, 1);
  p[27] = f.Folder ? kTypeDirectory : kTypeFile;
  Le32(p + 36, 0xFFFFFFFFu); // no owner
  Le32(p + 40, 0xFFFFFFFFu);
  Le32(p + 44, f.Folder ? kFolderPermissions : kFilePermissions);
  Le16(p + 48, f.Links);
  Le64(p + 56, f.Size);
  Le64(p + 64, SectorsFor(f.Size));
  // Access, modification and attribute times are the same.
  PutTimestamp(p + 72, f.Date, f.Zone);
  std::memcpy(p + 84, p + 72, 12);
  std::memcpy(p + 96, p + 72, 12);
  Le32(p + 108, 1);
  PutEntityId(p + 128, kImplementation, false);
  Le64(p + 160, f.UniqueId);
  Le32(p + 172, used * kUdfShortAdBytes);
  PutTag(p, kTagFileEntry, f.Block, kUdfFileEntryBytes + used * kUdfShortAdBytes);
}

std::unique_ptr<THeaderSectors> MakeFileEntryRun(const CompilationStore &store,
                                                 const ImageLayout &layout) {
  return std::make_unique<FileEntryRun>(store, layout);
}

} // namespace velmor::udf
