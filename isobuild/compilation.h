#pragma once
// The compilation: every directory and entry of the image being gathered. One compilation exists
// per process, shared by every component instance.
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "date_time.h"

namespace velmor {

struct TEntryNode;

// Where one name set's tree keeps the records of a directory.
struct DirExtent {
  std::int64_t Size = 0;
  std::int32_t Sector = 0; // from the start of the name set's directory area
};

struct TDirNode {
  std::string ShortName; // ISO 9660 name
  std::string LongName;  // Joliet name
  std::string PathKey;   // "\" + upper-cased long names from the root down
  DirExtent Iso, Joliet; // one per name set with directory records
  // UDF: the bytes of the directory's file identifiers and their first logical block.
  DirExtent Udf;
  std::uint8_t Level = 0;
  std::int32_t DirNumber = 0; // 1-based position in path-table order
  TDirNode *Parent = nullptr;
  TEntryNode *FirstChild = nullptr;

  TEntryNode *LastChild = nullptr; // keeps appending to the child list constant-time
  TEntryNode *Entry = nullptr;     // the folder entry naming this directory; none for the root
  // Two children may carry the same long name: names that differ as listed became equal (a "."
  // added to one of them, a hook's renaming).
  bool MayRepeatNames = false;
  // Two children met with the same UDF name: the folder's UDF names are its Joliet identifiers.
  bool UdfJolietNames = false;
};

struct TEntryNode {
  std::string ShortName; // ISO 9660 name, upper case
  std::string LongName;  // Joliet name
  std::string SourcePath;
  std::uint8_t FixedSector = 0;
  TDateTime DateTime = 0;
  std::int64_t FileSize = 0;
  // The data's first sector, shared by every name set: from the first file sector, or the
  // absolute sector when FixedSector is set.
  std::int32_t DataSector = 0;
  std::int32_t UdfEntryBlock = 0; // UDF: the logical block of the entry's file entry
  std::uint32_t Attr = 0;
  std::uint8_t ArchiveOnly = 0;
  TDirNode *Dir = nullptr;
  TEntryNode *Next = nullptr;
  std::uint8_t Form2 = 0;
  // A file of an imported image: its data is read from the store's ImportedImage at this byte
  // offset (SourcePath then only names it); -1 for a file of its own.
  std::int64_t ImageOffset = -1;

  // Identifiers as written into the image (without ";1"), set by the layout: the names above,
  // shortened only where a record could not hold them.
  std::string IsoIdentifier;
  std::u16string JolietIdentifier;

  bool IsFolder() const { return Dir != nullptr; }
};

struct EntryKey {
  const TDirNode *Dir;
  std::string UpperName;
  bool operator==(const EntryKey &o) const { return Dir == o.Dir && UpperName == o.UpperName; }
};

struct EntryKeyHash {
  std::size_t operator()(const EntryKey &k) const {
    return std::hash<std::string>()(k.UpperName) ^ (std::hash<const void *>()(k.Dir) * 31);
  }
};

struct CompilationStore {
  std::vector<TDirNode *> Dirs;      // creation order; slot 0 is the root
  std::vector<TDirNode *> PathOrder; // path-table order after the layout, for every name set
  std::int32_t DirCount = 0;
  std::vector<TEntryNode *> Entries; // insertion order
  std::int32_t EntryCount = 0;
  std::int32_t MaxDirs = 0;
  std::int32_t MaxEntries = 0;
  std::uint8_t ZeroSector[2048] = {};
  std::int16_t TimeZoneOffset = 0; // quarter hours east of UTC
  std::string ImportedImage;       // the image whose files the compilation took, if any

  // Owners of the records (stable addresses) and the indexes that find them.
  std::deque<TDirNode> DirPool;
  std::deque<TEntryNode> EntryPool;
  std::unordered_map<std::string, TDirNode *> DirsByPath;
  std::unordered_map<EntryKey, TEntryNode *, EntryKeyHash> EntriesByName;

  void Clear();
};

CompilationStore &TheCompilation();

} // namespace velmor
