#include "image_import.h"

#include <memory>

#include "entry_source.h"

namespace velmor {

namespace {

constexpr std::uint8_t kPlatformBios = static_cast<std::uint8_t>(BootPlatform::X86);
constexpr std::uint8_t kPlatformEfi = static_cast<std::uint8_t>(BootPlatform::Efi);

// The image read through the platform's files: one open file, opened again only to go back.
class PlatformImageBytes : public ImageBytes {
public:
  PlatformImageBytes(Platform &files, std::string path, std::uint64_t size)
      : files_(files), path_(std::move(path)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void *buffer, std::size_t count) override {
    if (!file_ || offset < at_) {
      file_ = files_.OpenRead(path_);
      at_ = 0;
      if (!file_)
        return false;
    }
    if (offset > at_ && !file_->Skip(offset - at_)) {
      file_.reset();
      return false;
    }
    at_ = offset;
    const std::int64_t n = file_->Read(buffer, count);
    if (n != static_cast<std::int64_t>(count)) {
      file_.reset();
      return false;
    }
    at_ += count;
    return true;
  }

private:
  Platform &files_;
  std::string path_;
  std::uint64_t size_;
  std::unique_ptr<SourceFile> file_;
  std::uint64_t at_ = 0;
};

char16_t UpperUnit(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

std::u16string UpperUnits(std::u16string text) {
  for (char16_t &c : text)
    c = UpperUnit(c);
  return text;
}

// A path in the image as the key it is matched by: "/" before every name, letters upper-cased.
std::u16string PathKey(const std::u16string &path) {
  std::u16string key;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find_first_of(u"/\\", at);
    if (end == std::u16string::npos)
      end = path.size();
    if (end > at)
      key += u"/" + UpperUnits(path.substr(at, end - at));
    at = end + 1;
  }
  return key;
}

} // namespace

ImportResult ImportImage(TKavoBurner &Burner, Platform &Files, const ImportRequest &Request) {
  ImportResult result;
  ListingRecord stat;
  if (!Files.Stat(Request.ImagePath, stat) || stat.IsFolder()) {
    result.Fault = Request.ImagePath + ": no such image file";
    return result;
  }
  PlatformImageBytes bytes(Files, Request.ImagePath, stat.Size);
  ImportedImage image;
  const std::string fault = ReadImageTree(bytes, image);
  if (!fault.empty()) {
    result.Fault = Request.ImagePath + ": cannot be read: " + fault;
    return result;
  }
  result.Names = image.Names;
  result.Label = Files.Utf16ToAnsi(image.Label);

  // Each node's path and key; the paths to remove are found before anything is taken.
  const std::size_t count = image.Nodes.size();
  std::vector<std::u16string> keys(count);
  std::vector<bool> removed(count, false);
  for (std::size_t i = 1; i < count; ++i)
    keys[i] = keys[static_cast<std::size_t>(image.Nodes[i].Parent)] + u"/" +
              UpperUnits(image.Nodes[i].Name);
  for (const std::string &path : Request.Remove) {
    const std::u16string key = PathKey(Files.AnsiToUtf16(path));
    bool found = false;
    for (std::size_t i = 1; i < count; ++i)
      if (keys[i] == key)
        removed[i] = found = true;
    if (!found) {
      result.Fault = path + ": not in the image " + Request.ImagePath;
      return result;
    }
  }

  CompilationStore &c = TheCompilation();
  c.ImportedImage = Request.ImagePath;
  const char sep = Files.Separator();
  // Local time as the compilation keeps it, by the standard bias the writer records.
  const TDateTime bias = Files.TimeZoneBiasMinutes() / 1440.0;
  std::vector<TDirNode *> dirs(count, nullptr);
  std::vector<std::string> paths(count); // in the image, "/" between names
  std::vector<TEntryNode *> entries(count, nullptr);
  dirs[0] = Burner.FindDir("\\");
  for (std::size_t i = 1; i < count && !result.LimitReached; ++i) {
    const ImportedNode &node = image.Nodes[i];
    TDirNode *parent = dirs[static_cast<std::size_t>(node.Parent)];
    if (!parent)
      continue; // under a folder left out
    removed[i] = removed[i] || removed[static_cast<std::size_t>(node.Parent)];
    if (removed[i])
      continue;
    const std::string name = Files.Utf16ToAnsi(node.Name);
    paths[i] = paths[static_cast<std::size_t>(node.Parent)] + "/" + name;
    std::string shown = Request.ImagePath + sep + paths[i].substr(1);
    if (sep != '/')
      for (std::size_t k = Request.ImagePath.size(); k < shown.size(); ++k)
        if (shown[k] == '/')
          shown[k] = sep;
    if (Files.AnsiToUtf16(name) != node.Name) {
      result.LeftOut.push_back({shown, LeftOutReason::kNameOutsideCodePage});
      continue;
    }
    ListingRecord record;
    record.Name = name;
    record.Attr = (node.Folder ? kAttrDirectory : kAttrArchive) | (node.Hidden ? kAttrHidden : 0);
    record.LastWrite = node.Utc - bias;
    if (node.Folder) {
      dirs[i] = Burner.AddDir(parent, record);
      if (!dirs[i] && Burner.LimitReached()) {
        result.LimitReached = true;
        result.LeftOut.push_back(Burner.LimitItem());
        result.LeftOut.back().Path = shown;
      }
      continue;
    }
    if (node.Scattered) {
      result.LeftOut.push_back({shown, LeftOutReason::kDataScattered});
      continue;
    }
    record.Size = node.Size;
    const std::int32_t before = c.EntryCount;
    std::vector<LeftOutItem> refused;
    TLeftOutEvent hook = std::move(Burner.OnLeftOut);
    Burner.OnLeftOut = [&](TKavoBurner *, const LeftOutItem &item) { refused.push_back(item); };
    Burner.AddFileEntry(parent, record, false, 0, shown);
    Burner.OnLeftOut = std::move(hook);
    result.LeftOut.insert(result.LeftOut.end(), refused.begin(), refused.end());
    if (c.EntryCount > before) {
      entries[i] = c.Entries[static_cast<std::size_t>(c.EntryCount - 1)];
      entries[i]->ImageOffset = static_cast<std::int64_t>(node.Offset);
    } else if (Burner.LimitReached()) {
      result.LimitReached = true;
      result.LeftOut.push_back(Burner.LimitItem());
      result.LeftOut.back().Path = shown;
    }
  }

  if (image.CatalogNode >= 0 && entries[static_cast<std::size_t>(image.CatalogNode)])
    result.CatalogPath = paths[static_cast<std::size_t>(image.CatalogNode)];
  for (const ImportedBootEntry &entry : image.Boot) {
    KeptBootEntry kept{entry, {}};
    if (entry.Node >= 0) {
      if (entries[static_cast<std::size_t>(entry.Node)])
        kept.ImagePath = paths[static_cast<std::size_t>(entry.Node)];
      else
        result.Notes.push_back(
            "boot image " +
            Files.Utf16ToAnsi(image.Nodes[static_cast<std::size_t>(entry.Node)].Name) +
            " is not in the new image: its boot entry is dropped");
      result.Boot.push_back(kept);
      continue;
    }
    // A boot image outside the tree comes along as a hidden file of the root.
    const std::string base = entry.Platform == kPlatformBios ? "boot" : "boot-efi";
    std::string name = base + ".img";
    for (int n = 2; Burner.FindEntry(dirs[0], name); ++n)
      name = base + "-" + std::to_string(n) + ".img";
    ListingRecord record;
    record.Name = name;
    record.Attr = kAttrArchive | kAttrHidden;
    record.Size = entry.Bytes;
    record.LastWrite = Files.Now();
    const std::int32_t before = c.EntryCount;
    Burner.AddFileEntry(dirs[0], record, false, 0, Request.ImagePath + sep + name);
    if (c.EntryCount > before) {
      TEntryNode *added = c.Entries[static_cast<std::size_t>(c.EntryCount - 1)];
      added->ImageOffset = static_cast<std::int64_t>(entry.ImageSector) * 2048;
      kept.ImagePath = "/" + name;
      result.Notes.push_back("boot image at sector " + std::to_string(entry.ImageSector) +
                             " is outside the image's tree: kept as the hidden file /" + name);
    }
    result.Boot.push_back(kept);
  }
  return result;
}

std::string KeepImportedBoot(TKavoBurner &Burner, ImportResult &Result) {
  bool first = true;
  for (const KeptBootEntry &kept : Result.Boot) {
    if (kept.ImagePath.empty())
      continue;
    const ImportedBootEntry &entry = kept.Entry;
    const bool efi = entry.Platform == kPlatformEfi;
    // A hard disk image (media 4) and firmwares other than BIOS and UEFI cannot be written.
    if ((entry.Platform != kPlatformBios && !efi) || entry.Media > 3) {
      Result.Notes.push_back("boot entry for platform " + std::to_string(entry.Platform) + " (" +
                             kept.ImagePath + ") is not written again");
      continue;
    }
    BootOptions options;
    options.ImagePath = kept.ImagePath;
    options.Platform = efi ? BootPlatform::Efi : BootPlatform::X86;
    options.NoEmulation = entry.Media == 0;
    options.InfoTable = entry.InfoTable;
    if (options.NoEmulation) {
      // The entry's own load size where it fits the image; else BIOS loads 4 sectors at most
      // and UEFI the whole image, as when the entry is new.
      const std::uint64_t sectors = (entry.Bytes + 511) / 512;
      const std::uint16_t asked = entry.LoadSectors;
      const bool fits = asked != 0 && asked <= sectors;
      options.LoadSectors =
          fits ? asked : static_cast<std::uint16_t>(efi ? 0 : std::min<std::uint64_t>(sectors, 4));
    }
    if (entry.LoadSegment != 0 && entry.LoadSegment != 0x7C0)
      Result.Notes.push_back("boot entry's load segment " + std::to_string(entry.LoadSegment) +
                             " becomes the default 0x7C0");
    std::string error;
    if (first) {
      options.CatalogPath = Result.CatalogPath;
      error = Burner.SetBootImage(options);
      if (error.empty() && Result.CatalogPath.empty())
        Burner.Boot()->Catalog->Attr |= kAttrHidden; // the old image did not show its catalog
    } else {
      error = Burner.AddBootImage(options);
    }
    if (!error.empty())
      return error;
    first = false;
  }
  return {};
}

} // namespace velmor
