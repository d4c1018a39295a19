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

// The folders the names are looked for under: the root, then each folder at the root.
std::vector<std::string> Bases() {
  std::vector<std::string> bases{""};
  for (const TEntryNode *e = TKavoBurner::Compilation().Dirs[0]->FirstChild; e; e = e->Next)
    if (e->Dir)
      bases.push_back("/" + e->LongName);
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
