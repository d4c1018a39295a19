// TKavoBurner: gathering files and folders into the compilation tree.
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "kavo_burner.h"
#include "path_chars.h"

namespace velmor {

namespace {
// A UDF file identifier holds 127 UCS-2 characters; every name set can then hold the name,
// Joliet after shortening it.
constexpr std::size_t kMaxLongNameUnits = 127;
const char kInvalidDestination[] = "INVALID DESTINATION PATH";
// Limits above this are not allocated up front: the arrays then grow with the tree.
constexpr std::int32_t kPreallocatedSlots = 1 << 20;

std::size_t Slots(std::int32_t limit) {
  return static_cast<std::size_t>(std::min(limit, kPreallocatedSlots));
}

template <class T> void Place(std::vector<T *> &slots, std::int32_t index, T *record) {
  if (static_cast<std::size_t>(index) < slots.size())
    slots[static_cast<std::size_t>(index)] = record;
  else
    slots.push_back(record);
}

std::string Format(const char *format, long long value) {
  char text[128];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

bool IsAllMask(const std::string &mask) { return mask == "*.*" || mask == "*"; }

std::atomic<int> gComponents{0};

// Separators of source paths: "/" is one on Windows too.
const char *SourceSeparators(char sep) { return sep == '/' ? "/" : "\\/"; }
} // namespace

TKavoBurner::TKavoBurner(Platform &platform)
    : FPlatform(platform), FChars(platform), FCaseSensitive(platform.CaseSensitiveNames()) {
  NewCompilation(65535, 8191);
}

TKavoBurner::~TKavoBurner() = default;

TKavoBurner::CompilationHold::CompilationHold() { ++gComponents; }

// The compilation is shared by every component: the last one to go frees its records and the
// memory of its arrays and indexes.
TKavoBurner::CompilationHold::~CompilationHold() {
  if (--gComponents == 0)
    TheCompilation() = CompilationStore();
}

void TKavoBurner::SetCacheSize(std::int32_t v) {
  FCacheSize = v < 2097152 ? 2097152 : v - v % 2048;
}

bool TKavoBurner::NewCompilation(std::int32_t MaxEntries, std::int32_t MaxDirs) {
  CompilationStore &c = TheCompilation();
  // -(bias / 15): quarter hours east of UTC, truncated toward zero.
  c.TimeZoneOffset = static_cast<std::int16_t>(-(FPlatform.TimeZoneBiasMinutes() / 15));
  FHeaderStream.Clear();
  c.Clear();
  c.MaxDirs = MaxDirs > 1 ? MaxDirs : 1; // the root always has its slot
  c.MaxEntries = MaxEntries > 0 ? MaxEntries : 0;
  c.Dirs.assign(Slots(c.MaxDirs), nullptr);
  c.PathOrder.assign(Slots(c.MaxDirs), nullptr);
  c.Entries.assign(Slots(c.MaxEntries), nullptr);
  // Sized once, like the arrays: the indexes never rehash while the tree grows.
  c.DirsByPath.reserve(Slots(c.MaxDirs));
  c.EntriesByName.reserve(Slots(c.MaxEntries));
  std::fill(std::begin(c.ZeroSector), std::end(c.ZeroSector), 0);
  FLayout = ImageLayout{};
  FBoot.reset();
  FBootPatch = DataPatch{};
  FLimitItem = {};
  TDirNode *root = AllocDir();
  if (root) {
    root->PathKey = "\\";
    root->ShortName = "CD_ROOT";
    root->LongName = "CD Root Directory";
    root->Level = 1;
    root->Parent = root;
  }
  return true;
}

TDirNode *TKavoBurner::AllocDir() {
  CompilationStore &c = TheCompilation();
  if (c.DirCount >= c.MaxDirs) {
    FLimitItem = {{}, LeftOutReason::kTooManyFolders, 0, c.MaxDirs};
    DebugMsg(">>> " + Format("MAXIMUM DIRECTORIES CAN BE %d", c.MaxDirs), 3);
    return nullptr;
  }
  TDirNode *d = &c.DirPool.emplace_back();
  Place(c.Dirs, c.DirCount, d);
  Place(c.PathOrder, c.DirCount, d);
  ++c.DirCount;
  return d;
}

TEntryNode *TKavoBurner::AllocEntry() {
  CompilationStore &c = TheCompilation();
  if (c.EntryCount >= c.MaxEntries) {
    FLimitItem = {{}, LeftOutReason::kTooManyFiles, 0, c.MaxEntries};
    DebugMsg(Format("MAXIMUM FILES CAN BE %d", c.MaxEntries), 3);
    return nullptr;
  }
  TEntryNode *e = &c.EntryPool.emplace_back();
  Place(c.Entries, c.EntryCount++, e);
  return e;
}

void TKavoBurner::AppendChild(TDirNode *Dir, TEntryNode *Entry) {
  Entry->Next = nullptr;
  if (Dir->LastChild)
    Dir->LastChild->Next = Entry;
  else
    Dir->FirstChild = Entry;
  Dir->LastChild = Entry;
}

TDirNode *TKavoBurner::FindDir(const std::string &Path) const {
  CompilationStore &c = TheCompilation();
  if (Path.empty() || Path == "\\")
    return c.DirCount > 0 ? c.Dirs[0] : nullptr;
  std::string key = Path;
  if (EndsWithSeparator(key, "\\", FChars))
    key.pop_back();
  const auto it = c.DirsByPath.find(NameKey(key));
  return it == c.DirsByPath.end() ? nullptr : it->second;
}

TDirNode *TKavoBurner::ForceDirPath(const std::string &Path) {
  if (TDirNode *found = FindDir(Path))
    return found;
  const std::size_t slash = FindLastSeparator(Path, "\\", FChars);
  const std::string parentPath = slash == std::string::npos ? std::string() : Path.substr(0, slash);
  const std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
  TDirNode *parent = FindDir(parentPath);
  if (!parent)
    parent = ForceDirPath(parentPath);
  if (name.empty() || !parent)
    return nullptr;
  return MakeVirtualDir(parent, name, kAttrDirectory);
}

TDirNode *TKavoBurner::MakeVirtualDir(TDirNode *Parent, const std::string &Name,
                                      std::uint32_t Attributes) {
  std::string name = Name;
  if (!name.empty() && name.front() == '\\')
    name.erase(0, 1);
  if (EndsWithSeparator(name, "\\", FChars))
    name.pop_back();
  if (!Parent || name.empty())
    return nullptr;
  ListingRecord record;
  record.Name = name;
  record.AlternateName = VirtualShortName(name);
  record.Attr = Attributes;
  record.LastWrite = FPlatform.Now();
  return AddDir(Parent, record);
}

TDirNode *TKavoBurner::AddDir(TDirNode *Parent, const ListingRecord &Record) {
  if (!Parent)
    return nullptr;
  std::string path = Parent->PathKey + "\\" + Record.Name;
  if (path.compare(0, 2, "\\\\") == 0)
    path.erase(0, 1);
  if (TDirNode *existing = FindDir(path))
    return existing;
  CompilationStore &c = TheCompilation();
  TDirNode *dir = AllocDir();
  if (!dir)
    return nullptr;
  TEntryNode *entry = AllocEntry();
  if (!entry) {
    // Withdraw the directory so that every directory keeps its entry and its parent.
    --c.DirCount;
    c.Dirs[c.DirCount] = c.PathOrder[c.DirCount] = nullptr;
    c.DirPool.pop_back();
    return nullptr;
  }
  AppendChild(Parent, entry);
  const std::string shortName =
      Record.AlternateName.empty() ? Upper(Record.Name) : Record.AlternateName;
  dir->Parent = Parent;
  dir->LongName = Record.Name;
  dir->ShortName = shortName;
  dir->Entry = entry;
  dir->PathKey = NameKey(path);
  entry->LongName = Record.Name;
  entry->ShortName = shortName;
  entry->Attr = Record.Attr;
  entry->Dir = dir;
  entry->DateTime = Record.LastWrite;
  c.DirsByPath.emplace(dir->PathKey, dir);
  c.EntriesByName.emplace(EntryKey{Parent, EntryKeyName(Record.Name, true)}, entry);
  return dir;
}

TEntryNode *TKavoBurner::FindEntry(const TDirNode *Dir, const std::string &LongName) const {
  CompilationStore &c = TheCompilation();
  auto it = c.EntriesByName.find(EntryKey{Dir, EntryKeyName(LongName, false)});
  if (FCaseSensitive && it == c.EntriesByName.end())
    it = c.EntriesByName.find(EntryKey{Dir, EntryKeyName(LongName, true)});
  return it == c.EntriesByName.end() ? nullptr : it->second;
}

void TKavoBurner::LeftOut(const std::string &Path, LeftOutReason Reason, std::uint32_t SystemCode) {
  if (OnLeftOut)
    OnLeftOut(this, {Path, Reason, SystemCode, 0});
}

std::int32_t TKavoBurner::AddFileEntry(TDirNode *Dir, const ListingRecord &Record, bool ArchiveOnly,
                                       std::int32_t FixedSector, const std::string &FullPath) {
  // A folder entry without a directory record would break the layout.
  if (!Dir || Record.IsFolder())
    return 0;
  std::string shortName = Record.AlternateName.empty() ? Upper(Record.Name) : Record.AlternateName;
  std::string longName = Record.Name;
  if (shortName.find('.') == std::string::npos)
    shortName += '.';
  if (longName.find('.') == std::string::npos)
    longName += '.';
  // A name of up to 127 bytes has up to 127 characters in any code page.
  const bool tooLong = longName.size() > kMaxLongNameUnits &&
                       FPlatform.AnsiToUtf16(longName).size() > kMaxLongNameUnits;
  bool skip = tooLong;
  TDateTime dateTime = Record.LastWrite;
  if (OnAddFile) {
    OnAddFile(this, FullPath, longName, shortName, dateTime, Record.Attr,
              static_cast<std::int64_t>(Record.Size), skip);
    if (longName.empty())
      skip = true;
  }
  if (skip) {
    if (tooLong)
      LeftOut(FullPath, LeftOutReason::kNameTooLong);
    return 0;
  }
  // Case-sensitive names are told apart as listed: "x" and "x." are two files although both get
  // the long name "x." (the layout then makes their identifiers unique).
  CompilationStore &c = TheCompilation();
  EntryKey key{Dir, FCaseSensitive ? Record.Name : Upper(longName)};
  const auto found = c.EntriesByName.find(key);
  TEntryNode *existing = found == c.EntriesByName.end() ? nullptr : found->second;
  TEntryNode *entry = nullptr;
  if (existing) {
    // Only a file replaces a file; a folder entry keeps its directory.
    if (!FReplaceFile || existing->Dir) {
      // The same source again is in the image already; another one under its name is not.
      if (existing->SourcePath != FullPath)
        LeftOut(FullPath, LeftOutReason::kNameTaken);
      return 0;
    }
    entry = existing;
  } else {
    entry = AllocEntry();
    if (!entry)
      return 0;
    AppendChild(Dir, entry);
    c.EntriesByName.emplace(std::move(key), entry);
  }
  if (FCaseSensitive && longName != Record.Name)
    Dir->MayRepeatNames = true;
  entry->ShortName = Upper(shortName);
  entry->LongName = longName;
  entry->FileSize = static_cast<std::int64_t>(Record.Size);
  entry->Attr = Record.Attr;
  entry->DateTime = dateTime;
  entry->SourcePath = FullPath;
  entry->ImageOffset = -1;
  entry->ArchiveOnly = ArchiveOnly ? 1 : 0;
  entry->Form2 = 0;
  if (FixedSector != 0) {
    entry->DataSector = FixedSector;
    entry->FixedSector = 1;
  } else {
    entry->FixedSector = 0;
  }
  return 1;
}

// The tree path that rebuilds a source folder's own path: the drive letter or the server and
// share of a network path are dropped, separators become "\" and the path starts at the root.
std::string TKavoBurner::TreePathOf(const std::string &SourceFolder) const {
  std::string path = SourceFolder;
  if (path.compare(0, 2, "\\\\") == 0) {
    const std::size_t share = FindSeparator(path, "\\", FChars, 2);
    const std::size_t rest =
        share == std::string::npos ? share : FindSeparator(path, "\\", FChars, share + 1);
    path = rest == std::string::npos ? std::string() : path.substr(rest);
  } else if (path.size() >= 2 && path[1] == ':') {
    path.erase(0, 2);
  }
  const char sep = FPlatform.Separator();
  for (std::size_t i = 0; i < path.size();) {
    const unsigned len = FChars.Length(static_cast<unsigned char>(path[i]));
    if (len == 1 && (path[i] == sep || path[i] == '/'))
      path[i] = '\\';
    i += len;
  }
  if (!path.empty() && path.front() != '\\')
    path.insert(0, 1, '\\');
  return path;
}

std::int32_t TKavoBurner::InsertFile(const std::string &Destination, const std::string &Source,
                                     bool KeepPath) {
  FLimitItem = {};
  TDirNode *dir = nullptr;
  if (!KeepPath) {
    dir = FindDir(Destination);
  } else {
    const std::size_t last =
        FindLastSeparator(Source, SourceSeparators(FPlatform.Separator()), FChars);
    const std::string tree =
        TreePathOf(last == std::string::npos ? std::string() : Source.substr(0, last + 1));
    ForceDirPath(tree);
    dir = FindDir(tree);
  }
  if (!dir) {
    DebugMsg(kInvalidDestination, 4);
    return 0;
  }
  ListingRecord record;
  if (!FPlatform.Stat(Source, record) || record.IsFolder())
    return -1;
  if (record.Refused())
    LeftOut(Source, record.Refusal);
  else
    AddFileEntry(dir, record, false, 0, Source);
  return 1;
}

std::int32_t TKavoBurner::InsertFolder(const std::string &Destination, const std::string &Source,
                                       bool ArchiveOnly, bool KeepPath, bool Recursive,
                                       std::uint32_t AttributeMask, const std::string &Mask) {
  FLimitItem = {};
  TDirNode *dir = FindDir(Destination);
  if (!dir) {
    DebugMsg(kInvalidDestination, 4);
    return 0;
  }
  return AddFolderContents(dir, Source, ArchiveOnly, KeepPath, Recursive, AttributeMask, Mask);
}

std::int32_t TKavoBurner::AddFolderContents(TDirNode *Dir, const std::string &Source,
                                            bool ArchiveOnly, bool KeepPath, bool Recursive,
                                            std::uint32_t AttributeMask, const std::string &Mask) {
  FLimitItem = {};
  const WalkResult result =
      Walk(Dir, Source, ArchiveOnly, KeepPath, Recursive, AttributeMask, Mask);
  return result == WalkResult::Complete ? 1 : 0;
}

// Depth-first: a folder's subfolders (and all below them) come before its own files. A file left
// out (duplicate, name too long, skipped by the hook) does not end the walk; a folder that cannot
// be listed makes the result incomplete but its siblings are still walked; a reached limit ends
// the whole walk at once.
TKavoBurner::WalkResult TKavoBurner::Walk(TDirNode *Dir, const std::string &Source,
                                          bool ArchiveOnly, bool KeepPath, bool Recursive,
                                          std::uint32_t AttributeMask, const std::string &Mask) {
  if (KeepPath) {
    std::string tree = TreePathOf(Source);
    if (Dir && Dir->PathKey != "\\" && !Dir->PathKey.empty())
      tree = Dir->PathKey + tree;
    ForceDirPath(tree);
    Dir = FindDir(tree);
    if (!Dir) {
      if (LimitReached())
        return WalkResult::LimitReached;
      DebugMsg(kInvalidDestination, 4);
      return WalkResult::Incomplete;
    }
  }
  if (!Dir)
    return WalkResult::Incomplete;
  const char sep = FPlatform.Separator();
  std::string folder = Source;
  if (folder.empty() || !EndsWithSeparator(folder, SourceSeparators(sep), FChars))
    folder += sep;
  const std::string mask = Mask.empty() ? "*.*" : Mask;

  std::vector<ListingRecord> all;
  if (!FPlatform.ListFolder(folder, "*.*", all)) {
    LeftOut(Source, LeftOutReason::kFolderUnreadable, FPlatform.LastSystemCode());
    return WalkResult::Incomplete;
  }
  WalkResult result = WalkResult::Complete;
  if (Recursive) {
    for (const ListingRecord &r : all) {
      // A refused folder (a link to one) is told by the file pass and never walked.
      if (!r.IsFolder() || r.Refused())
        continue;
      ListingRecord record = r;
      std::string longName = r.Name;
      std::string shortName = r.AlternateName.empty() ? Upper(r.Name) : r.AlternateName;
      bool skip = false;
      if (OnAddDir) {
        OnAddDir(this, longName, shortName, skip);
        // Names the hook gives are used when they can name a folder.
        if (!longName.empty() && FindSeparator(longName, "\\", FChars) == std::string::npos) {
          record.Name = longName;
          record.AlternateName = shortName;
        }
      }
      if (skip)
        continue;
      TDirNode *sub = AddDir(Dir, record);
      if (!sub)
        return WalkResult::LimitReached;
      const WalkResult inner =
          Walk(sub, folder + r.Name, ArchiveOnly, false, Recursive, AttributeMask, Mask);
      if (inner == WalkResult::LimitReached)
        return inner;
      if (inner == WalkResult::Incomplete)
        result = inner;
    }
  }
  std::vector<ListingRecord> masked;
  if (!IsAllMask(mask) && !FPlatform.ListFolder(folder, mask, masked))
    return WalkResult::Incomplete;
  for (const ListingRecord &r : IsAllMask(mask) ? all : masked) {
    if (r.Refused()) {
      LeftOut(folder + r.Name, r.Refusal);
      continue;
    }
    if (r.IsFolder())
      continue;
    if (ArchiveOnly && !(r.Attr & kAttrArchive))
      continue;
    AddFileEntry(Dir, r, ArchiveOnly, 0, folder + r.Name);
    if (LimitReached())
      return WalkResult::LimitReached;
  }
  return result;
}

} // namespace velmor
