// TKavoBurner: making an image boot. The boot image and the catalog are files of the tree; the
// catalog's sector and bytes come with the layout and the header.
#include <algorithm>
#include <memory>

#include "entry_source.h"
#include "kavo_burner.h"
#include "path_chars.h"

namespace velmor {

namespace {
constexpr std::uint64_t kFirmwareSectorBytes = 512;
constexpr const char *kDefaultCatalogName = "boot.cat";
} // namespace

TDirNode *TKavoBurner::SplitTreePath(const std::string &Path, std::string &Name) const {
  std::string tree = TreePathOf(Path);
  while (tree.size() > 1 && EndsWithSeparator(tree, "\\", FChars))
    tree.pop_back();
  const std::size_t slash = FindLastSeparator(tree, "\\", FChars);
  Name = tree.substr(slash + 1);
  return FindDir(tree.substr(0, slash));
}

// A file added without extension is known by its name with the "." it was given, unless names
// are told apart as listed.
TEntryNode *TKavoBurner::FindFile(const TDirNode *Dir, const std::string &Name) const {
  if (!Dir || Name.empty())
    return nullptr;
  TEntryNode *e = FindEntry(Dir, Name);
  if (!e && !FCaseSensitive && Name.find('.') == std::string::npos)
    e = FindEntry(Dir, Name + ".");
  return e;
}

bool TKavoBurner::HasFile(const std::string &Path) const {
  std::string name;
  const TEntryNode *e = FindFile(SplitTreePath(Path, name), name);
  return e && !e->Dir && !e->FixedSector;
}

std::string TKavoBurner::MakeBootEntry(const BootOptions &Options, BootEntry &Entry,
                                       TDirNode *&Dir) {
  const std::string &path = Options.ImagePath;
  std::string name;
  Dir = SplitTreePath(path, name);
  TEntryNode *image = FindFile(Dir, name);
  if (!image)
    return path + ": boot image not found in the image";
  if (image->Dir)
    return path + ": is a folder, not a boot image";
  if (image->FixedSector || image->SourcePath.empty())
    return path + ": not a file of the tree";
  const std::uint64_t size = static_cast<std::uint64_t>(image->FileSize);
  if (size == 0)
    return path + ": boot image is empty";
  if (size > 0xFFFFFFFFu)
    return path + ": boot image of 4 GiB or more";

  BootEntry boot;
  boot.Image = image;
  boot.Platform = Options.Platform;
  boot.InfoTable = Options.InfoTable;
  const bool efi = Options.Platform == BootPlatform::Efi;
  if (Options.NoEmulation || efi) {
    const std::uint64_t sectors = (size + kFirmwareSectorBytes - 1) / kFirmwareSectorBytes;
    std::uint16_t load = Options.LoadSectors;
    // A UEFI image's own load size counts whole 2048-byte sectors, 0 (read to the end) when the
    // field cannot hold it, as xorriso does; a load size asked for must fit the image.
    const bool ownLoadSize = efi && load == 0;
    if (load == 0)
      load = efi ? WholeImageLoadSectors(size) : kDefaultBiosLoadSectors;
    if (!ownLoadSize && load > sectors)
      return path + ": load size of " + std::to_string(load) +
             " sectors does not fit the boot image (" + std::to_string(size) + " bytes, " +
             std::to_string(sectors) + " sectors of 512 bytes)";
    boot.Media = BootMedia::NoEmulation;
    boot.LoadSectors = load;
  } else {
    if (!FloppyMediaFor(size, boot.Media))
      return path + ": " + std::to_string(size) +
             " bytes; floppy emulation takes an image of 1228800, 1474560 or 2949120 bytes "
             "(1.2, 1.44 or 2.88 MB), other images need no emulation";
    boot.LoadSectors = 1;
  }
  if (Options.InfoTable) {
    if (size < kBootInfoChecksumStart)
      return path + ": boot image of " + std::to_string(size) +
             " bytes is too small for a boot info table (64 bytes at least)";
    std::unique_ptr<SourceFile> source = OpenEntrySource(FPlatform, *image);
    if (!source || !BootImageChecksum(*source, size, boot.ImageChecksum))
      return image->SourcePath + ": boot image cannot be read";
  }
  Entry = boot;
  return {};
}

std::string TKavoBurner::SetBootImage(const BootOptions &Options, std::string *Replaced) {
  if (FBoot)
    return "the image already has a boot image";
  BootEntry entry;
  TDirNode *dir = nullptr;
  std::string error = MakeBootEntry(Options, entry, dir);
  if (!error.empty())
    return error;
  FBoot = BootSpec{};
  FBoot->Entries.push_back(entry);
  error = PlaceBootCatalog(Options, dir, Replaced);
  if (!error.empty())
    FBoot.reset();
  return error;
}

std::string TKavoBurner::AddBootImage(const BootOptions &Options) {
  if (!FBoot)
    return "a further boot image needs a first one";
  if (FBoot->Entries.size() >= kMaxBootEntries)
    return "at most " + std::to_string(kMaxBootEntries) + " boot images fit the boot catalog";
  BootEntry entry;
  TDirNode *dir = nullptr;
  const std::string error = MakeBootEntry(Options, entry, dir);
  if (!error.empty())
    return error;
  FBoot->Entries.push_back(entry);
  return {};
}

std::string TKavoBurner::SetHybrid(const std::string &MbrCodePath, bool Gpt) {
  if (!FBoot)
    return "-isohybrid-mbr needs a boot image";
  if (Gpt && std::none_of(FBoot->Entries.begin(), FBoot->Entries.end(),
                          [](const BootEntry &e) { return e.Platform == BootPlatform::Efi; }))
    return "-isohybrid-gpt-basdat needs a UEFI boot image (-e)";
  std::unique_ptr<SourceFile> source = FPlatform.OpenRead(MbrCodePath);
  std::vector<std::uint8_t> code(kFirmwareSectorBytes + 1);
  const std::int64_t got = source ? source->Read(code.data(), code.size()) : -1;
  if (got < 0)
    return MbrCodePath + ": MBR boot code cannot be read";
  if (got < static_cast<std::int64_t>(kMbrCodeBytes) ||
      got > static_cast<std::int64_t>(kFirmwareSectorBytes))
    return MbrCodePath + ": " + (got > 512 ? std::string("more than 512") : std::to_string(got)) +
           " bytes; MBR boot code takes 432 to 512 bytes (such as isohdpfx.bin)";
  code.resize(kMbrCodeBytes);
  FBoot->MbrCode = std::move(code);
  FBoot->Gpt = Gpt;
  return {};
}

// A folder's files, listed in name order, stay in that order with one more file among them.
void TKavoBurner::MoveAmongFilesByName(TDirNode *Dir, TEntryNode *Entry) {
  TEntryNode **link = &Dir->FirstChild;
  TEntryNode *previous = nullptr;
  while (*link != Entry) {
    previous = *link;
    link = &previous->Next;
  }
  *link = Entry->Next;
  if (Dir->LastChild == Entry)
    Dir->LastChild = previous;
  link = &Dir->FirstChild;
  previous = nullptr;
  while (*link && ((*link)->Dir || (*link)->ShortName < Entry->ShortName)) {
    previous = *link;
    link = &previous->Next;
  }
  Entry->Next = *link;
  *link = Entry;
  if (!Entry->Next)
    Dir->LastChild = Entry;
}

// The catalog takes its path in the tree: a new file, or the place of a file that was there.
std::string TKavoBurner::PlaceBootCatalog(const BootOptions &Options, TDirNode *ImageDir,
                                          std::string *Replaced) {
  std::string name = kDefaultCatalogName;
  TDirNode *dir = ImageDir;
  const std::string path = Options.CatalogPath;
  if (!path.empty()) {
    dir = SplitTreePath(path, name);
    if (!dir || name.empty())
      return path + ": folder of the boot catalog not found in the image";
  }
  const std::string shown = path.empty() ? kDefaultCatalogName : path;
  TEntryNode *catalog = FindFile(dir, name);
  if (catalog && catalog->Dir)
    return shown + ": is a folder, the boot catalog cannot go there";
  if (catalog == FBoot->Entries.front().Image)
    return shown + ": the boot catalog cannot take the boot image's place";
  if (catalog) {
    if (Replaced)
      *Replaced = catalog->SourcePath;
  } else {
    ListingRecord record;
    record.Name = name;
    record.Attr = kAttrArchive;
    record.Size = kSectorSize;
    record.LastWrite = FPlatform.Now();
    if (AddFileEntry(dir, record, false, 1, std::string()) == 0 || !(catalog = FindFile(dir, name)))
      return shown + ": the boot catalog cannot be added under that name";
    MoveAmongFilesByName(dir, catalog);
  }
  catalog->SourcePath.clear();
  catalog->FixedSector = 1;
  catalog->FileSize = kSectorSize;
  catalog->DateTime = FPlatform.Now();
  FBoot->Catalog = catalog;
  return {};
}

} // namespace velmor
