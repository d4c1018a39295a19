#include "udf_structures.h"

#include <algorithm>
#include <unordered_set>

#include "udf_fields.h"
#include "udf_file_entry.h"
#include "udf_writer.h"

namespace velmor {

namespace {
constexpr std::uint32_t kRecognitionSectors = 3; // BEA01, NSR02 and TEA01
constexpr std::uint32_t kIntegritySectors = 2;   // the integrity descriptor and a terminator
constexpr std::uint32_t kFileSetBlocks = 2;      // the file set descriptor and a terminator
} // namespace

void UdfVolume::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  (void)store;
  UdfLayout &udf = layout.Udf;
  udf.RecognitionSector = static_cast<std::uint32_t>(next);
  next += kRecognitionSectors;
  udf.MainSequence = static_cast<std::uint32_t>(next);
  next += kUdfSequenceSectors;
  udf.ReserveSequence = static_cast<std::uint32_t>(next);
  next += kUdfSequenceSectors;
  udf.IntegritySector = static_cast<std::uint32_t>(next);
  next += kIntegritySectors;
  udf.AnchorSector = layout.StartSector + kUdfAnchorOffset;
  udf.PartitionStart = udf.AnchorSector + 1;
  next = udf.PartitionStart;
}

// The last anchor closes the image, which is never shorter than the post-gap would make it.
void UdfVolume::PlaceAfterFiles(ImageLayout &layout) {
  UdfLayout &udf = layout.Udf;
  udf.LastAnchorSector = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(layout.ImageEnd, layout.StartSector + kPostGapSectors - 1));
  layout.TrailerSectors += static_cast<std::uint32_t>(udf.LastAnchorSector + 1 - layout.ImageEnd);
  udf.PartitionLength = udf.LastAnchorSector - udf.PartitionStart;
  layout.ImageEnd = udf.LastAnchorSector + 1;
}

void UdfVolume::Write(const CompilationStore &store, const ImageLayout &layout,
                      const HeaderOutput &out) const {
  WriteUdfVolume(store, layout, platform_, out);
}

void UdfFolders::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  UdfLayout &udf = layout.Udf;
  udf.FileSetBlock = static_cast<std::uint32_t>(next - udf.PartitionStart);
  std::uint32_t block = udf.FileSetBlock + kFileSetBlocks;
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
        d.UdfJolietNames = !seen.insert(UdfName(d, *e, platform_)).second;
    }
    std::uint64_t bytes = UdfIdentifierLength(0); // the parent's
    for (TEntryNode *e = d.FirstChild; e; e = e->Next) {
      bytes += UdfIdentifierLength(udf::Cs0Length(UdfName(d, *e, platform_)));
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

void UdfFolders::Write(const CompilationStore &store, const ImageLayout &layout,
                       const HeaderOutput &out) const {
  WriteUdfFolders(store, layout, platform_, out);
}

// The file entries of all files, in the order the streamed header makes them; the header keeps
// everything before them.
void UdfFileEntries::Place(CompilationStore &store, ImageLayout &layout, std::uint64_t &next) {
  UdfLayout &udf = layout.Udf;
  layout.MadeHeaderSector = static_cast<std::uint32_t>(next);
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

void UdfFileEntries::Write(const CompilationStore &store, const ImageLayout &layout,
                           const HeaderOutput &out) const {
  out.SetMadeSectors(udf::MakeFileEntryRun(store, layout));
}

} // namespace velmor
