#include "layout.h"

#include <algorithm>

namespace velmor {

namespace {

constexpr std::uint32_t kDotRecordsBytes = 68; // "." and "..", 34 bytes each

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
  std::copy(order.begin(), order.end(), store.IsoDirs.begin());
  std::copy(order.begin(), order.end(), store.JolietDirs.begin());
}

// Simulates the records of one extent: each record stays inside one sector.
class ExtentSizer {
public:
  void Add(std::uint32_t record) {
    if (record > left_) {
      used_ += left_;
      left_ = kSectorSize;
    }
    used_ += record;
    left_ -= record;
  }
  std::uint64_t Bytes() const { return SectorsFor(used_) * kSectorSize; }

private:
  std::uint64_t used_ = kDotRecordsBytes;
  std::uint32_t left_ = kSectorSize - kDotRecordsBytes;
};

} // namespace

std::uint32_t IsoRecordLength(const TEntryNode &e) {
  const std::uint32_t n = static_cast<std::uint32_t>(e.IsoIdentifier.size()) +
                          (e.IsFolder() ? 0 : static_cast<std::uint32_t>(kVersionSuffixLength));
  return 33 + n + (n % 2 == 0 ? 1 : 0);
}

std::uint32_t JolietRecordLength(const TEntryNode &e) {
  const std::uint32_t units = static_cast<std::uint32_t>(e.JolietIdentifier.size()) +
                              (e.IsFolder() ? 0 : static_cast<std::uint32_t>(kVersionSuffixLength));
  return 33 + 2 * units + 1;
}

ImageLayout ComputeImageLayout(CompilationStore &store, bool joliet, std::uint32_t startSector,
                               Platform &platform, const CharTable &chars, const BootSpec *boot) {
  ImageLayout L;
  L.Joliet = joliet;
  L.StartSector = startSector;
  const std::int32_t dirCount = store.DirCount;

  for (std::int32_t i = 0; i < dirCount; ++i)
    FitIdentifiers(*store.Dirs[i], platform, chars);
  NumberDirectories(store);

  // Directory extents, in creation order, back to back.
  std::uint64_t isoSector = 0, jolietSector = 0;
  for (std::int32_t i = 0; i < dirCount; ++i) {
    TDirNode &d = *store.Dirs[i];
    ExtentSizer iso, jol;
    for (const TEntryNode *e = d.FirstChild; e; e = e->Next) {
      const std::uint32_t records = e->IsFolder() ? 1 : ExtentCount(e->FileSize);
      const std::uint32_t isoLength = IsoRecordLength(*e);
      const std::uint32_t jolietLength = JolietRecordLength(*e);
      for (std::uint32_t r = 0; r < records; ++r) {
        iso.Add(isoLength);
        jol.Add(jolietLength);
      }
    }
    d.IsoExtentSize = static_cast<std::int64_t>(iso.Bytes());
    d.JolietExtentSize = static_cast<std::int64_t>(jol.Bytes());
    d.IsoDirSector = static_cast<std::int32_t>(isoSector);
    d.JolietDirSector = static_cast<std::int32_t>(jolietSector);
    isoSector += iso.Bytes() / kSectorSize;
    jolietSector += jol.Bytes() / kSectorSize;
  }
  L.IsoAreaSize = isoSector * kSectorSize;
  L.JolietAreaSize = joliet ? jolietSector * kSectorSize : 0;

  // Path tables: the root's record takes 10 bytes.
  std::uint64_t p = 10, j = 10;
  for (std::int32_t i = 1; i < dirCount; ++i) {
    const TEntryNode &e = *store.Dirs[i]->Entry;
    const std::size_t n = e.IsoIdentifier.size();
    p += 8 + n + (n % 2);
    j += 8 + 2 * e.JolietIdentifier.size();
  }
  L.IsoPathTableSize = static_cast<std::uint32_t>(p);
  L.JolietPathTableSize = static_cast<std::uint32_t>(j);

  std::uint64_t next = startSector + kSystemAreaSectors;
  L.PrimaryDescriptorSector = static_cast<std::uint32_t>(next++);
  if (boot)
    L.BootRecordSector = static_cast<std::uint32_t>(next++);
  if (joliet)
    L.JolietDescriptorSector = static_cast<std::uint32_t>(next++);
  L.TerminatorSector = static_cast<std::uint32_t>(next++);
  const std::uint64_t isoTableSectors = SectorsFor(p);
  L.IsoLTable = static_cast<std::uint32_t>(next);
  L.IsoMTable = static_cast<std::uint32_t>(next + isoTableSectors);
  next += 2 * isoTableSectors;
  if (joliet) {
    const std::uint64_t jolietTableSectors = SectorsFor(j);
    L.JolietLTable = static_cast<std::uint32_t>(next);
    L.JolietMTable = static_cast<std::uint32_t>(next + jolietTableSectors);
    next += 2 * jolietTableSectors;
  }
  L.IsoDirArea = static_cast<std::uint32_t>(next);
  next += isoSector;
  if (joliet) {
    L.JolietDirArea = static_cast<std::uint32_t>(next);
    next += jolietSector;
  }
  if (boot) {
    L.BootCatalogSector = static_cast<std::uint32_t>(next++);
    TEntryNode &catalog = *boot->Catalog;
    catalog.IsoSector = catalog.JolietSector = static_cast<std::int32_t>(L.BootCatalogSector);
  }
  L.PaddingBeforeFiles = static_cast<std::int32_t>(
      (static_cast<std::int64_t>(kMinFirstFileSector) - static_cast<std::int64_t>(next)) *
      kSectorSize);
  L.FirstFileSector =
      static_cast<std::uint32_t>(std::max<std::uint64_t>(next, kMinFirstFileSector));

  // File extents, in insertion order over the whole tree.
  std::uint64_t counter = 0;
  for (std::int32_t i = 0; i < store.EntryCount; ++i) {
    TEntryNode &e = *store.Entries[i];
    if (e.FixedSector)
      continue;
    if (e.Dir) {
      e.IsoSector = e.Dir->IsoDirSector;
      e.JolietSector = e.Dir->JolietDirSector;
      e.FileSize = e.Dir->IsoExtentSize;
      e.JolietSize = e.Dir->JolietExtentSize;
    } else if (e.FileSize > 0) {
      e.IsoSector = e.JolietSector = static_cast<std::int32_t>(counter);
      e.JolietSize = e.FileSize;
      counter += SectorsFor(static_cast<std::uint64_t>(e.FileSize));
    } else {
      e.IsoSector = e.JolietSector = 0;
      e.JolietSize = 0;
    }
  }
  L.FileSectors = counter;
  L.ImageEnd = L.FirstFileSector + counter;
  L.ImageSectorCount = L.ImageEnd - startSector;
  return L;
}

} // namespace velmor
