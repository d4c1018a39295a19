#include "directory_extents.h"

namespace velmor {

namespace {

// Where the next record of an extent goes: in the sector being filled, or at the start of the
// next one when it does not fit.
class RecordCursor {
public:
  // The offset of a record of `length` bytes from the extent's start.
  std::uint64_t Take(std::uint32_t length) {
    if (length > left_) {
      used_ += left_;
      left_ = kSectorSize;
    }
    const std::uint64_t at = used_;
    used_ += length;
    left_ -= length;
    return at;
  }
  std::uint64_t Bytes() const { return SectorsFor(used_) * kSectorSize; }

private:
  std::uint64_t used_ = 2 * kDotRecordBytes;
  std::uint32_t left_ = kSectorSize - 2 * kDotRecordBytes;
};

std::uint32_t RecordsOf(const TEntryNode &e) { return e.IsFolder() ? 1 : ExtentCount(e.FileSize); }

} // namespace

void DirectoryExtents::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  for (const NameSet *set : sets_) {
    std::uint64_t sector = 0;
    for (std::int32_t i = 0; i < store.DirCount; ++i) {
      TDirNode &d = *store.Dirs[i];
      RecordCursor cursor;
      for (const TEntryNode *e = d.FirstChild; e; e = e->Next) {
        const std::uint32_t length = set->ShapeOf(*e).Length;
        for (std::uint32_t r = RecordsOf(*e); r > 0; --r)
          cursor.Take(length);
      }
      DirExtent &extent = set->ExtentOf(d);
      extent.Size = static_cast<std::int64_t>(cursor.Bytes());
      extent.Sector = static_cast<std::int32_t>(sector);
      sector += cursor.Bytes() / kSectorSize;
    }
    NameSetLayout &sectors = set->LayoutIn(layout);
    sectors.AreaSize = sector * kSectorSize;
    sectors.DirArea = static_cast<std::uint32_t>(next);
    next += sector;
  }
}

void DirectoryExtents::Write(const CompilationStore &store, const ImageLayout &layout,
                             const HeaderOutput &out) const {
  for (const NameSet *set : sets_)
    for (std::int32_t i = 0; i < store.DirCount; ++i)
      Extent(*set, *store.Dirs[i], store, layout, out);
}

void DirectoryExtents::Extent(const NameSet &set, const TDirNode &d, const CompilationStore &store,
                              const ImageLayout &layout, const HeaderOutput &out) const {
  const std::uint32_t area = set.LayoutIn(layout).DirArea;
  const auto sectorOf = [&](const TDirNode &dir) {
    return area + static_cast<std::uint32_t>(set.ExtentOf(dir).Sector);
  };
  const auto sizeOf = [&](const TDirNode &dir) {
    return static_cast<std::uint32_t>(set.ExtentOf(dir).Size);
  };
  std::uint8_t *p = out.At(sectorOf(d));
  RecordFields dot;
  SetRecordDate(dot, out.Now, store.TimeZoneOffset);
  dot.Flags = kRecordDirectory;
  dot.Extent = sectorOf(d);
  dot.Length = sizeOf(d);
  PutDotRecord(p, dot, 0);
  dot.Extent = sectorOf(*d.Parent);
  dot.Length = sizeOf(*d.Parent);
  PutDotRecord(p + kDotRecordBytes, dot, 1);
  RecordCursor cursor;
  for (const TEntryNode *e = d.FirstChild; e; e = e->Next) {
    const NameSet::RecordShape shape = set.ShapeOf(*e);
    RecordFields f;
    SetRecordDate(f, e->DateTime, store.TimeZoneOffset);
    const std::uint8_t hidden = (e->Attr & kAttrHidden) ? kRecordHidden : 0;
    if (e->Dir) {
      f.Extent = sectorOf(*e->Dir);
      f.Length = sizeOf(*e->Dir);
      f.Flags = kRecordDirectory | hidden;
      set.PutRecord(p + cursor.Take(shape.Length), f, *e, shape);
      continue;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(e->FileSize);
    std::uint64_t sector = size == 0 ? 0 : FileSector(layout, *e);
    const std::uint32_t extents = RecordsOf(*e);
    std::uint64_t remaining = size;
    for (std::uint32_t k = 0; k < extents; ++k) {
      const bool last = k + 1 == extents;
      const std::uint64_t part = last ? remaining : kMaxExtentBytes;
      f.Extent = static_cast<std::uint32_t>(sector);
      f.Length = static_cast<std::uint32_t>(part);
      f.Flags = static_cast<std::uint8_t>(hidden | (last ? 0 : kRecordMultiExtent));
      set.PutRecord(p + cursor.Take(shape.Length), f, *e, shape);
      sector += part / kSectorSize;
      remaining -= part;
    }
  }
}

} // namespace velmor
