#include "layout.h"

#include <algorithm>

#include "image_structure.h"

namespace velmor {

namespace {

// Breadth-first numbering: the root is 1; the subdirectories of each directory, sorted by their
// ISO identifiers (unsigned bytes, a prefix before longer names; equal names in creation order),
// follow in the order of their parents. This is the order in which parent numbers never decrease
// and names ascend within one parent, which both path tables need.
void NumberDirectories(CompilationStore &store) {
  const std::size_t count = static_cast<std::size_t>(store.DirCount);
  std::vector<TDirNode *> order;
  order.reserve(count);
  order.push_back(store.Dirs[0]);
  store.Dirs[0]->DirNumber = 1;
  std::vector<TDirNode *> group;
  for (std::size_t i = 0; i < order.size(); ++i) {
    group.clear();
    for (TEntryNode *e = order[i]->FirstChild; e; e = e->Next)
      if (e->Dir)
        group.push_back(e->Dir);
    std::stable_sort(group.begin(), group.end(), [](const TDirNode *a, const TDirNode *b) {
      return a->Entry->IsoIdentifier < b->Entry->IsoIdentifier;
    });
    for (TDirNode *d : group) {
      order.push_back(d);
      d->DirNumber = static_cast<std::int32_t>(order.size());
    }
  }
  std::copy(order.begin(), order.end(), store.PathOrder.begin());
}

} // namespace

std::u16string UdfName(const TDirNode &parent, const TEntryNode &e, Platform &platform) {
  if (parent.UdfJolietNames)
    return e.JolietIdentifier;
  std::u16string name = platform.AnsiToUtf16(e.LongName);
  // The tree gives a file without extension a "." that ISO 9660 wants and its source lacks.
  if (!e.IsFolder() && !name.empty() && name.back() == u'.' &&
      (e.SourcePath.empty() || e.SourcePath.back() != '.'))
    name.pop_back();
  // Files of more than 127 characters never enter the tree; folders may.
  return name.size() <= kMaxUdfNameUnits ? name : e.JolietIdentifier;
}

bool CompilationWantsUdf(const CompilationStore &store, Platform &platform) {
  for (std::int32_t i = 0; i < store.EntryCount; ++i) {
    const TEntryNode &e = *store.Entries[i];
    if (!e.IsFolder() && e.FileSize >= (std::int64_t{1} << 32))
      return true;
    const std::size_t suffix = e.IsFolder() ? 0 : kVersionSuffixLength;
    // Every name of up to 101 bytes fits whatever the code page.
    if (e.LongName.size() + suffix > kMaxJolietUnits &&
        platform.AnsiToUtf16(e.LongName).size() + suffix > kMaxJolietUnits)
      return true;
  }
  return false;
}

ImageLayout ComputeImageLayout(CompilationStore &store, bool joliet, std::uint32_t startSector,
                               Platform &platform, const CharTable &chars, const BootSpec *boot,
                               bool udf) {
  ImageLayout L;
  L.WithJoliet = joliet;
  L.WithUdf = udf;
  L.StartSector = startSector;
  const std::int32_t dirCount = store.DirCount;

  for (std::int32_t i = 0; i < dirCount; ++i)
    FitIdentifiers(*store.Dirs[i], platform, chars);
  NumberDirectories(store);

  std::uint64_t next = startSector + kSystemAreaSectors;
  const ImageStructures structures(platform, chars, joliet, boot, udf);
  for (const auto &structure : structures.InOrder())
    structure->Place(store, L, next);
  L.PaddingBeforeFiles = static_cast<std::int32_t>(
      (static_cast<std::int64_t>(kMinFirstFileSector) - static_cast<std::int64_t>(next)) *
      kSectorSize);
  L.FirstFileSector =
      static_cast<std::uint32_t>(std::max<std::uint64_t>(next, kMinFirstFileSector));
  if (L.MadeHeaderSector == 0)
    L.MadeHeaderSector = L.FirstFileSector;

  // File extents, in insertion order over the whole tree.
  std::uint64_t counter = 0;
  for (std::int32_t i = 0; i < store.EntryCount; ++i) {
    TEntryNode &e = *store.Entries[i];
    if (e.FixedSector)
      continue;
    if (e.Dir) {
      e.DataSector = e.Dir->Iso.Sector;
      e.FileSize = e.Dir->Iso.Size;
    } else if (e.FileSize > 0) {
      e.DataSector = static_cast<std::int32_t>(counter);
      counter += SectorsFor(static_cast<std::uint64_t>(e.FileSize));
    } else {
      e.DataSector = 0;
    }
  }
  L.FileSectors = counter;
  L.ImageEnd = L.FirstFileSector + counter;
  for (const auto &structure : structures.InOrder())
    structure->PlaceAfterFiles(L);
  L.ImageSectorCount = L.ImageEnd - startSector;
  return L;
}

} // namespace velmor
