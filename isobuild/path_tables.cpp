#include "path_tables.h"

#include "byte_order.h"

namespace velmor {

namespace {

// The root's record: the identifier byte 0.
constexpr std::uint32_t kRootRecordBytes = PathTableRecordLength(1);

// One record at byte `pos` of both tables; the identifier is the caller's to write, at offset 8
// of each record.
void PutFields(std::uint8_t *l, std::uint8_t *m, std::uint32_t extent, std::uint32_t parent,
               std::uint32_t identifierBytes) {
  l[0] = m[0] = static_cast<std::uint8_t>(identifierBytes);
  l[1] = m[1] = 0;
  Le32(l + 2, extent);
  Le16(l + 6, parent);
  Be32(m + 2, extent);
  Be16(m + 6, parent);
}

} // namespace

void PathTables::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  for (const NameSet *set : sets_) {
    std::uint64_t bytes = kRootRecordBytes;
    for (std::int32_t i = 1; i < store.DirCount; ++i)
      bytes += set->PathRecordLength(*store.Dirs[i]->Entry);
    NameSetLayout &sectors = set->LayoutIn(layout);
    sectors.PathTableSize = static_cast<std::uint32_t>(bytes);
    const std::uint64_t each = SectorsFor(bytes);
    sectors.LTable = static_cast<std::uint32_t>(next);
    sectors.MTable = static_cast<std::uint32_t>(next + each);
    next += 2 * each;
  }
}

void PathTables::Write(const CompilationStore &store, const ImageLayout &layout,
                       const HeaderOutput &out) const {
  for (const NameSet *set : sets_) {
    const NameSetLayout &sectors = set->LayoutIn(layout);
    std::uint8_t *l = out.At(sectors.LTable);
    std::uint8_t *m = out.At(sectors.MTable);
    PutFields(l, m, sectors.DirArea, 1, 1);
    l[8] = m[8] = 0;
    std::uint32_t pos = kRootRecordBytes;
    for (std::int32_t i = 1; i < store.DirCount; ++i) {
      const TDirNode &d = *store.PathOrder[i];
      const std::uint32_t n = set->IdentifierBytes(*d.Entry, false);
      const std::uint32_t extent =
          sectors.DirArea + static_cast<std::uint32_t>(set->ExtentOf(d).Sector);
      PutFields(l + pos, m + pos, extent, static_cast<std::uint32_t>(d.Parent->DirNumber), n);
      set->PutIdentifier(l + pos + 8, *d.Entry, false);
      set->PutIdentifier(m + pos + 8, *d.Entry, false);
      pos += PathTableRecordLength(n);
    }
  }
}

} // namespace velmor
