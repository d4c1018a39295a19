#pragma once
// UDF file entries: the one sector of a folder's or file's entry and the allocation extents that
// continue its descriptors, and the run of all files' entries made as the header is streamed.
#include <cstdint>
#include <memory>

#include "header_stream.h"
#include "layout.h"

namespace velmor::udf {

extern const char kImplementation[];
// Unique IDs 0 to 15 are the root's and reserved; others follow the file entry's block.
constexpr std::uint64_t kFirstUniqueId = 16;

struct EntryFields {
  std::uint32_t Block = 0; // the entry's own logical block
  bool Folder = false;
  std::uint16_t Links = 1;
  std::uint64_t Size = 0;
  std::uint32_t DataBlock = 0; // of the first extent; the others follow it
  TDateTime Date = 0;
  int Zone = 0; // minutes east of UTC
  std::uint64_t UniqueId = 0;
};

// Writes sector `index` of an entry (0: the file entry; then its allocation extents) onto the
// zeroed sector at p. The data are described in extents of at most kMaxUdfExtentBytes.
void PutEntrySector(std::uint8_t *p, const EntryFields &f, std::uint32_t index);

// The sectors from the layout's MadeHeaderSector up to its first file: every file's entry, in the
// layout's order, then zeros. Reads the compilation while it makes them.
std::unique_ptr<THeaderSectors> MakeFileEntryRun(const CompilationStore &store,
                                                 const ImageLayout &layout);

} // namespace velmor::udf
