#include "folder_disc.h"

#include <algorithm>
#include <utility>

#include "kavo_burner.h"

namespace velmor {

namespace {

// The system's listings without one folder: the cache folder, wherever the walk comes to it.
class ListingsWithout final : public Platform {
public:
  ListingsWithout(Platform &system, std::string folder)
      : system_(system), folder_(std::move(folder)) {}

  bool ListFolder(const std::string &folder, const std::string &mask,
                  std::vector<ListingRecord> &out) override {
    if (!system_.ListFolder(folder, mask, out))
      return false;
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const ListingRecord &r) {
                               return r.IsFolder() && SameFileName(folder + r.Name, folder_);
                             }),
              out.end());
    return true;
  }
  char Separator() const override { return system_.Separator(); }
  bool Stat(const std::string &path, ListingRecord &out) override {
    return system_.Stat(path, out);
  }
  std::unique_ptr<SourceFile> OpenRead(const std::string &path) override {
    return system_.OpenRead(path);
  }
  std::unique_ptr<ImageFile> CreateImage(const std::string &path) override {
    return system_.CreateImage(path);
  }
  bool CaseSensitiveNames() const override { return system_.CaseSensitiveNames(); }
  TDateTime Now() override { return system_.Now(); }
  int TimeZoneBiasMinutes() override { return system_.TimeZoneBiasMinutes(); }
  std::uint32_t LastSystemCode() const override { return system_.LastSystemCode(); }
  std::u16string AnsiToUtf16(const std::string &text) override { return system_.AnsiToUtf16(text); }
  std::string Utf16ToAnsi(const std::u16string &text) override { return system_.Utf16ToAnsi(text); }
  unsigned CharLength(unsigned char lead) override { return system_.CharLength(lead); }

private:
  Platform &system_;
  std::string folder_; // without its final separator
};

} // namespace

std::string FolderDiscLabel(Platform &platform, const std::string &folder) {
  // The last name, read a character at a time (a GBK trail byte may be a backslash).
  std::string name, part;
  for (size_t i = 0; i < folder.size();) {
    const size_t n =
        std::max<size_t>(1, platform.CharLength(static_cast<unsigned char>(folder[i])));
    if (n == 1 && (folder[i] == '\\' || folder[i] == '/')) {
      if (!part.empty())
        name = part;
      part.clear();
    } else {
      part.append(folder, i, n);
    }
    i += n;
  }
  if (!part.empty())
    name = part;
  if (name.empty() || name.back() == ':')
    return "CDROM";
  std::string label;
  for (size_t i = 0; i < name.size();) {
    const size_t n = std::max<size_t>(1, platform.CharLength(static_cast<unsigned char>(name[i])));
    const std::string longer = label + name.substr(i, n);
    if (longer.size() > kMaxIsoLabelBytes ||
        platform.AnsiToUtf16(longer).size() > kMaxJolietLabelUnits)
      break;
    label = longer;
    i += n;
  }
  return label;
}

FolderDisc BuildFolderDisc(Platform &platform, DriveSystem &system, const std::string &folder,
                           const std::string &cacheFolder) {
  FolderDisc disc;
  if (cacheFolder.empty()) {
    disc.failure = FolderDisc::Failure::kNoCacheFolder;
    return disc;
  }
  std::string image;
  disc.lock = ClaimFolderDiscImage(system, cacheFolder, image);
  if (!disc.lock.held()) {
    disc.failure = FolderDisc::Failure::kWrite;
    disc.write = {WriteFailureKind::kImageUncreatable, cacheFolder, system.LastError()};
    return disc;
  }
  ListingsWithout listings(platform, cacheFolder.substr(0, cacheFolder.size() - 1));
  TKavoBurner burner(listings);
  burner.NewCompilation(kMaxEntries, kMaxDirectories);
  burner.SetJolietFileSystem(true);
  burner.SetIdVolume(FolderDiscLabel(platform, folder));
  GatherOptions gathering;
  gathering.StopAtLimit = true;
  // Nor is the cache folder's content gathered when it is the folder given.
  gathering.Skip = [&](const std::string &path) { return IsDirectlyIn(cacheFolder, path); };
  // The folder's contents fill the root.
  const GatherResult gathered =
      GatherItems(burner, {SourceItem{folder, true, false, true}}, gathering);
  disc.leftOut = gathered.LeftOut;
  // As the build window does: UDF only where ISO 9660 and Joliet fall short (files of 4 GiB and
  // more, names Joliet would shorten), which Windows then reads through it.
  burner.SetUdfFileSystem(burner.CompilationWantsUdf());
  if (gathered.LimitReached) {
    disc.failure = FolderDisc::Failure::kTooMany;
    return disc;
  }
  burner.PrepareImage(true, nullptr);
  if (!burner.WriteImage(image, true)) {
    system.RemoveFile(image);
    disc.failure = FolderDisc::Failure::kWrite;
    disc.write = burner.LastWriteFailure();
    return disc;
  }
  // Without its note the disc is shown by its image's path.
  NoteFolderOfDisc(system, image, folder);
  disc.image = image;
  return disc;
}

} // namespace velmor
