#include "image_data.h"

#include <algorithm>
#include <cstring>

#include "entry_source.h"
#include "layout.h"

namespace velmor {

bool CarriesData(const TEntryNode &Entry) {
  return !Entry.Dir && !(Entry.Attr & kAttrDirectory) && !Entry.FixedSector &&
         !Entry.SourcePath.empty() && Entry.FileSize > 0;
}

EntryData::EntryData(Platform &Files, const TEntryNode &Entry, const DataPatch *Patch)
    : files_(Files), entry_(Entry), patch_(Patch),
      left_(static_cast<std::uint64_t>(std::max<std::int64_t>(Entry.FileSize, 0))),
      padding_(SectorsFor(left_) * kSectorSize - left_) {}

bool EntryData::Open() {
  source_ = OpenEntrySource(files_, entry_);
  unopened_ = source_ == nullptr;
  if (unopened_)
    systemCode_ = files_.LastSystemCode();
  return !unopened_;
}

WriteFailure EntryData::Failure() const {
  if (unopened_)
    return {WriteFailureKind::kSourceUnopenable, entry_.SourcePath, systemCode_};
  if (changed_)
    return {WriteFailureKind::kSourceChanged, entry_.SourcePath, systemCode_};
  return {};
}

std::size_t EntryData::Fill(std::uint8_t *Target, std::size_t Room) {
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left_, Room));
  std::size_t got = 0;
  if (!changed_ && source_) {
    const std::int64_t n = source_->Read(Target, wanted);
    if (n < 0)
      systemCode_ = files_.LastSystemCode();
    got = n > 0 ? static_cast<std::size_t>(n) : 0;
    changed_ = got < wanted; // shorter than listed, or unreadable from here on
  }
  std::memset(Target + got, 0, wanted - got);
  if (patch_)
    patch_->ApplyTo(entry_, static_cast<std::uint64_t>(entry_.FileSize) - left_, Target, wanted);
  left_ -= wanted;
  std::size_t count = wanted;
  if (left_ == 0) {
    // The copy ends: a byte beyond the listed size means the file grew meanwhile.
    if (!changed_ && source_) {
      std::uint8_t beyond;
      changed_ = source_->Read(&beyond, 1) > 0;
    }
    source_.reset();
    const std::size_t pad =
        static_cast<std::size_t>(std::min<std::uint64_t>(padding_, Room - wanted));
    std::memset(Target + wanted, 0, pad);
    padding_ -= pad;
    count += pad;
  }
  return count;
}

} // namespace velmor
