#include "entry_source.h"

#include <algorithm>

namespace velmor {

namespace {

// A run of another file's bytes, from where that file stands: it ends where the run does, so the
// check for a file that grew since it was listed sees the end of the entry, not the next file.
class RegionSource : public SourceFile {
public:
  RegionSource(std::unique_ptr<SourceFile> whole, std::uint64_t size)
      : whole_(std::move(whole)), left_(size) {}
  std::int64_t Read(void *Buffer, std::size_t Count) override {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(Count, left_));
    if (want == 0)
      return 0;
    const std::int64_t n = whole_->Read(Buffer, want);
    if (n > 0)
      left_ -= static_cast<std::uint64_t>(n);
    return n;
  }
  bool Skip(std::uint64_t Count) override {
    if (Count > left_ || !whole_->Skip(Count))
      return false;
    left_ -= Count;
    return true;
  }

private:
  std::unique_ptr<SourceFile> whole_;
  std::uint64_t left_;
};

} // namespace

std::unique_ptr<SourceFile> OpenEntrySource(Platform &Files, const TEntryNode &Entry) {
  if (Entry.ImageOffset < 0)
    return Files.OpenRead(Entry.SourcePath);
  std::unique_ptr<SourceFile> image = Files.OpenRead(TheCompilation().ImportedImage);
  if (!image || !image->Skip(static_cast<std::uint64_t>(Entry.ImageOffset)))
    return nullptr;
  return std::make_unique<RegionSource>(
      std::move(image), static_cast<std::uint64_t>(std::max<std::int64_t>(Entry.FileSize, 0)));
}

} // namespace velmor
