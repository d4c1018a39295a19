#include "layout.h"

#include <algorithm>
#include <unordered_set>

#include "system_area.h"
#include "udf_fields.h"

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
  std::copy(order.begin(), order.end(), store.PathOrder.begin());
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

// What sets one name set's records apart from another's: where a directory keeps its extent, and
// the bytes of a directory record and of a path-table record.
struct NameSetRule {
  DirExtent TDirNode::*Extent;
  std::uint32_t (*RecordLength)(const TEntryNode &);
  std::uint32_t (*PathRecordLength)(const TEntryNode &);
};

std::uint32_t IsoPathRecordLength(const TEntryNode &e) {
  const std::uint32_t n = static_cast<std::uint32_t>(e.IsoIdentifier.size());
  return 8 + n + (n % 2);
}

std::uint32_t JolietPathRecordLength(const TEntryNode &e) {
  return 8 + 2 * static_cast<std::uint32_t>(e.JolietIdentifier.size());
}

// Sizes every directory extent of one name set, in creation order, back to back, and its path
// table.
void SizeNameSet(CompilationStore &store, const NameSetRule &rule, NameSetLayout &set) {
  std::uint64_t sector = 0;
  for (std::int32_t i = 0; i < store.DirCount; ++i) {
    TDirNode &d = *store.Dirs[i];
    ExtentSizer sizer;
    for (const TEntryNode *e = d.FirstChild; e; e = e->Next) {
      const std::uint32_t records = e->IsFolder() ? 1 : ExtentCount(e->FileSize);
      const std::uint32_t length = rule.RecordLength(*e);
      for (std::uint32_t r = 0; r < records; ++r)
        sizer.Add(length);
    }
    DirExtent &extent = d.*rule.Extent;
    extent.Size = static_cast<std::int64_t>(sizer.Bytes());
    extent.Sector = static_cast<std::int32_t>(sector);
    sector += sizer.Bytes() / kSectorSize;
  }
  set.AreaSize = sector * kSectorSize;
  // The root's path-table record takes 10 bytes.
  std::uint64_t table = 10;
  for (std::int32_t i = 1; i < store.DirCount; ++i)
    table += rule.PathRecordLength(*store.Dirs[i]->Entry);
  set.PathTableSize = static_cast<std::uint32_t>(table);
}

// Gives the set its descriptor's sector (the next one).
void PlaceDescriptor(std::uint64_t &next, NameSetLayout &set) {
  set.DescriptorSector = static_cast<std::uint32_t>(next++);
}

// Places the L and M path tables, each in whole sectors.
void PlacePathTables(std::uint64_t &next, NameSetLayout &set) {
  const std::uint64_t sectors = SectorsFor(set.PathTableSize);
  set.LTable = static_cast<std::uint32_t>(next);
  set.MTable = static_cast<std::uint32_t>(next + sectors);
  next += 2 * sectors;
}

void PlaceDirArea(std::uint64_t &next, NameSetLayout &set) {
  set.DirArea = static_cast<std::uint32_t>(next);
  next += set.AreaSize / kSectorSize;
}

// The sectors before the anchor: recognition sequence, both descriptor sequences, integrity.
void PlaceUdfDescriptors(std::uint64_t &next, std::uint32_t startSector, UdfLayout &udf) {
  udf.RecognitionSector = static_cast<std::uint32_t>(next);
  next += 3;
  udf.MainSequence = static_cast<std::uint32_t>(next);
  next += kUdfSequenceSectors;
  udf.ReserveSequence = static_cast<std::uint32_t>(next);
  next += kUdfSequenceSectors;
  udf.IntegritySector = static_cast<std::uint32_t>(next);
  next += 2;
  udf.AnchorSector = startSector + kUdfAnchorOffset;
  udf.PartitionStart = udf.AnchorSector + 1;
  next = udf.PartitionStart;
}

// From `next` on: the file set descriptor and its terminator, then for each directory its file
// entry and its identifiers.
void PlaceUdfFolders(CompilationStore &store, Platform &platform, UdfLayout &udf,
                     std::uint64_t &next) {
  udf.FileSetBlock = static_cast<std::uint32_t>(next - udf.PartitionStart);
  std::uint32_t block = udf.FileSetBlock + 2;
  for (std::int32_t i = 0; i < store.DirCount; ++i) {
    TDirNode &d = *store.Dirs[i];
    if (d.Entry)
      d.Entry->UdfEntryBlock = static_cast<std::int32_t>(block);
    else
      udf.RootEntryBlock = block;
    ++block;
    // Names as listed differ, so equal UDF names come only from names changed on the way in.
    d.UdfJolietNames = false;
    if (d.MayRepeatNames) {
      std::unordered_set<std::u16string> seen;
      for (const TEntryNode *e = d.FirstChild; e && !d.UdfJolietNames; e = e->Next)
        d.UdfJolietNames = !seen.insert(UdfName(d, *e, platform)).second;
    }
    std::uint64_t bytes = UdfIdentifierLength(0); // the parent's
    for (TEntryNode *e = d.FirstChild; e; e = e->Next) {
      bytes += UdfIdentifierLength(udf::Cs0Length(UdfName(d, *e, platform)));
      if (!e->IsFolder())
        ++udf.Files;
    }
    d.Udf.Size = static_cast<std::int64_t>(bytes);
    d.Udf.Sector = static_cast<std::int32_t>(block);
    block += static_cast<std::uint32_t>(SectorsFor(bytes));
  }
  udf.Directories = static_cast<std::uint32_t>(store.DirCount);
  next = udf.PartitionStart + std::uint64_t{block};
}

// From `next` on: the file entries of all files, in the order the streamed header makes them.
void PlaceUdfFileEntries(CompilationStore &store, UdfLayout &udf, std::uint64_t &next) {
  std::uint32_t block = static_cast<std::uint32_t>(next - udf.PartitionStart);
  for (std::int32_t i = 0; i < store.DirCount; ++i)
    for (TEntryNode *e = store.Dirs[i]->FirstChild; e; e = e->Next)
      if (!e->IsFolder()) {
        e->UdfEntryBlock = static_cast<std::int32_t>(block);
        block += 1 + UdfContinuationBlocks(UdfExtentCount(e->FileSize));
      }
  udf.AreaEndBlock = block;
  next = udf.PartitionStart + std::uint64_t{block};
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

  const NameSetRule isoRule{&TDirNode::Iso, IsoRecordLength, IsoPathRecordLength};
  const NameSetRule jolietRule{&TDirNode::Joliet, JolietRecordLength, JolietPathRecordLength};
  SizeNameSet(store, isoRule, L.Iso);
  SizeNameSet(store, jolietRule, L.Joliet);
  if (!joliet)
    L.Joliet.AreaSize = 0;

  std::uint64_t next = startSector + kSystemAreaSectors;
  PlaceDescriptor(next, L.Iso);
  if (boot)
    L.BootRecordSector = static_cast<std::uint32_t>(next++);
  if (joliet)
    PlaceDescriptor(next, L.Joliet);
  L.TerminatorSector = static_cast<std::uint32_t>(next++);
  if (udf)
    PlaceUdfDescriptors(next, startSector, L.Udf);
  PlacePathTables(next, L.Iso);
  if (joliet)
    PlacePathTables(next, L.Joliet);
  PlaceDirArea(next, L.Iso);
  if (joliet)
    PlaceDirArea(next, L.Joliet);
  if (udf)
    PlaceUdfFolders(store, platform, L.Udf, next);
  if (boot) {
    L.BootCatalogSector = static_cast<std::uint32_t>(next++);
    TEntryNode &catalog = *boot->Catalog;
    catalog.DataSector = static_cast<std::int32_t>(L.BootCatalogSector);
  }
  const std::uint64_t entryRun = next;
  if (udf)
    PlaceUdfFileEntries(store, L.Udf, next);
  L.PaddingBeforeFiles = static_cast<std::int32_t>(
      (static_cast<std::int64_t>(kMinFirstFileSector) - static_cast<std::int64_t>(next)) *
      kSectorSize);
  L.FirstFileSector =
      static_cast<std::uint32_t>(std::max<std::uint64_t>(next, kMinFirstFileSector));
  L.MadeHeaderSector = udf ? static_cast<std::uint32_t>(entryRun) : L.FirstFileSector;

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
  if (udf) {
    // The last anchor closes the image, which is never shorter than the post-gap would make it.
    L.Udf.LastAnchorSector = static_cast<std::uint32_t>(
        std::max<std::uint64_t>(L.ImageEnd, startSector + kPostGapSectors - 1));
    L.TrailerSectors = static_cast<std::uint32_t>(L.Udf.LastAnchorSector + 1 - L.ImageEnd);
    L.Udf.PartitionLength = L.Udf.LastAnchorSector - L.Udf.PartitionStart;
    L.ImageEnd = L.Udf.LastAnchorSector + 1;
  }
  if (boot && boot->Hybrid())
    PlaceHybridEnd(L, *boot);
  L.ImageSectorCount = L.ImageEnd - startSector;
  return L;
}

} // namespace velmor
