#include "boot_pick.h"

namespace velmor {

namespace {

struct KnownImage {
  const char *Path;
  std::uint16_t LoadSectors; // 0: the whole image (UEFI)
  bool InfoTable;
};

// Windows' loader reads 8 sectors and wants no table; isolinux finds itself by its table.
const KnownImage kBios[] = {
    {"boot/etfsboot.com", 8, false},
    {"isolinux/isolinux.bin", 4, true},
    {"boot/isolinux/isolinux.bin", 4, true},
};
const KnownImage kUefi[] = {
    {"efi/microsoft/boot/efisys.bin", 0, false},
    {"efi/boot/efiboot.img", 0, false},
    {"boot/grub/efi.img", 0, false},
    {"images/efiboot.img", 0, false},
};

// The folders the names are looked for under, shallowest first: a dropped disc folder keeps
// its whole path in the window's tree.
std::vector<std::string> Bases() {
  std::vector<std::pair<const TDirNode *, std::string>> folders{
      {TKavoBurner::Compilation().Dirs[0], ""}};
  for (std::size_t i = 0; i < folders.size(); ++i)
    for (const TEntryNode *e = folders[i].first->FirstChild; e; e = e->Next)
      if (e->Dir)
        folders.emplace_back(e->Dir, folders[i].second + "/" + e->LongName);
  std::vector<std::string> bases;
  for (auto &folder : folders)
    bases.push_back(std::move(folder.second));
  return bases;
}

template <std::size_t N>
bool Pick(const TKavoBurner &burner, const KnownImage (&known)[N], BootPlatform platform,
          BootPick &pick) {
  for (const std::string &base : Bases())
    for (const KnownImage &k : known) {
      const std::string path = base + "/" + k.Path;
      if (!burner.HasFile(path))
        continue;
      BootOptions options;
      options.ImagePath = path;
      options.Platform = platform;
      options.NoEmulation = true;
      options.LoadSectors = k.LoadSectors;
      options.InfoTable = k.InfoTable;
      pick.Entries.push_back(options);
      return true;
    }
  return false;
}

template <std::size_t N> std::vector<std::string> Names(const KnownImage (&known)[N]) {
  std::vector<std::string> names;
  for (const KnownImage &k : known)
    names.push_back(k.Path);
  return names;
}

} // namespace

BootPick PickBootFiles(const TKavoBurner &burner, BootChoice choice) {
  BootPick pick;
  if (choice == BootChoice::Bios || choice == BootChoice::Both)
    pick.BiosMissing = !Pick(burner, kBios, BootPlatform::X86, pick);
  if (choice == BootChoice::Uefi || choice == BootChoice::Both)
    pick.UefiMissing = !Pick(burner, kUefi, BootPlatform::Efi, pick);
  return pick;
}

const std::vector<std::string> &BiosBootNames() {
  static const std::vector<std::string> names = Names(kBios);
  return names;
}

const std::vector<std::string> &UefiBootNames() {
  static const std::vector<std::string> names = Names(kUefi);
  return names;
}

} // namespace velmor
