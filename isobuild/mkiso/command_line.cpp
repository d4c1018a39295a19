#include "command_line.h"

#include <cstdio>

namespace velmor::mkiso {

namespace {

// The entry the boot flags go to: the last one, begun by the first boot flag.
BootRequest &Entry(Request &r) {
  if (r.Boot.empty())
    r.Boot.emplace_back();
  return r.Boot.back();
}

void SetBootImage(Request &r, const std::string &path, BootPlatform platform) {
  BootRequest &entry = Entry(r);
  entry.Options.ImagePath = path;
  entry.Options.Platform = platform;
  ++entry.Images;
}

// 512-byte sectors, as the boot catalog records them: 1 to 65535.
bool ParseLoadSize(const std::string &text, std::uint16_t &out) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long value = std::stoul(text);
  if (value == 0 || value > 0xFFFF)
    return false;
  out = static_cast<std::uint16_t>(value);
  return true;
}

} // namespace

const std::vector<Flag> kFlags = {
    {"-o", "IMAGE", [](Request &r, const std::string &a) { r.Image = a; },
     "the image to write (\"-\": standard output)"},
    {"-V", "LABEL",
     [](Request &r, const std::string &a) {
       r.Label = a;
       r.LabelGiven = true;
     },
     "volume label (default: now, or the imported one)"},
    {"--no-joliet", nullptr, [](Request &r, const std::string &) { r.Joliet = false; },
     "ISO 9660 names only"},
    {"-udf", nullptr, [](Request &r, const std::string &) { r.Udf = true; },
     "UDF beside ISO 9660: files of 4 GiB+, whole names"},
    {"--no-recurse", nullptr, [](Request &r, const std::string &) { r.Recurse = false; },
     "folders without their subfolders"},
    {"-b", "BOOT-IMAGE",
     [](Request &r, const std::string &a) { SetBootImage(r, a, BootPlatform::X86); },
     "a BIOS boot image, by its path in the image"},
    {"-e", "EFI-IMAGE",
     [](Request &r, const std::string &a) { SetBootImage(r, a, BootPlatform::Efi); },
     "a UEFI boot image: a FAT image in the tree"},
    {"-c", "CATALOG", [](Request &r, const std::string &a) { r.Catalog = a; },
     "the boot catalog (default: boot.cat beside -b/-e)"},
    {"-no-emul-boot", nullptr,
     [](Request &r, const std::string &) {
       Entry(r).Options.NoEmulation = true;
       Entry(r).EntryFlags = true;
     },
     "load the image as it is (else: a floppy image)"},
    {"-boot-load-size", "N",
     [](Request &r, const std::string &a) {
       BootRequest &entry = Entry(r);
       if (!ParseLoadSize(a, entry.Options.LoadSectors))
         entry.BadLoadSize = a;
       entry.LoadSizeGiven = entry.EntryFlags = true;
     },
     "512-byte sectors to load (BIOS: 4, UEFI: all)"},
    {"-boot-info-table", nullptr,
     [](Request &r, const std::string &) {
       Entry(r).Options.InfoTable = true;
       Entry(r).EntryFlags = true;
     },
     "isolinux's boot info table in the image's copy"},
    {"-eltorito-alt-boot", nullptr, [](Request &r, const std::string &) { r.Boot.emplace_back(); },
     "the boot flags after it make the next entry"},
    {"-isohybrid-mbr", "MBR-FILE", [](Request &r, const std::string &a) { r.HybridMbr = a; },
     "MBR code (isohdpfx.bin): boots from a USB stick"},
    {"-isohybrid-gpt-basdat", nullptr, [](Request &r, const std::string &) { r.GptBasdat = true; },
     "and a GPT and MBR partition for the UEFI image"},
    {"-import", "OLD-IMAGE", [](Request &r, const std::string &a) { r.Import.ImagePath = a; },
     "start from this image's tree and boot"},
    {"-rm", "PATH-IN-IMAGE", [](Request &r, const std::string &a) { r.Import.Remove.push_back(a); },
     "leave this path of the imported image out"},
    {"-h", nullptr, [](Request &r, const std::string &) { r.Help = true; }, "this text"},
    {"--help", nullptr, [](Request &r, const std::string &) { r.Help = true; }, nullptr},
};

bool ParseArguments(int argc, char **argv, Request &request) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      request.Paths.insert(request.Paths.end(), argv + i + 1, argv + argc);
      break;
    }
    if (arg.empty() || arg[0] != '-' || arg == "-") {
      request.Paths.push_back(arg);
      continue;
    }
    const Flag *flag = nullptr;
    for (const Flag &f : kFlags)
      if (arg == f.Name)
        flag = &f;
    if (!flag || (flag->Argument && i + 1 >= argc))
      return false;
    flag->Set(request, flag->Argument ? argv[++i] : std::string());
  }
  return true;
}

void PrintUsage(std::FILE *out) {
  std::fprintf(out, "usage: velmor-mkiso -o IMAGE [OPTION]... PATH...\n"
                    "       velmor-mkiso -o IMAGE -import OLD-IMAGE [OPTION]... [PATH]...\n");
  for (const Flag &f : kFlags) {
    if (!f.Usage)
      continue;
    const std::string name =
        std::string(f.Name) + (f.Argument ? std::string(" ") + f.Argument : "");
    std::fprintf(out, "  %-26s %s\n", name.c_str(), f.Usage);
  }
}

std::string FlagsProblem(const Request &request) {
  const std::vector<BootRequest> &boot = request.Boot;
  for (std::size_t i = 0; i < boot.size(); ++i) {
    const BootRequest &entry = boot[i];
    if (entry.Images == 0)
      return i + 1 < boot.size() || i > 0
                 ? "-eltorito-alt-boot separates boot images: each entry needs -b or -e"
                 : "-no-emul-boot, -boot-load-size and -boot-info-table need -b or -e";
    if (entry.Images > 1)
      return "one boot image per entry: -eltorito-alt-boot starts the next";
    if (!entry.BadLoadSize.empty())
      return "-boot-load-size takes a number of 512-byte sectors from 1 to 65535";
    if (entry.LoadSizeGiven && !entry.Options.NoEmulation &&
        entry.Options.Platform != BootPlatform::Efi)
      return "-boot-load-size needs -no-emul-boot: floppy emulation loads one sector";
  }
  if (!request.Catalog.empty() && boot.empty())
    return "-c needs -b or -e";
  if (request.GptBasdat && request.HybridMbr.empty())
    return "-isohybrid-gpt-basdat works only with -isohybrid-mbr";
  if (!request.HybridMbr.empty() && boot.empty() && request.Import.ImagePath.empty())
    return "-isohybrid-mbr needs a boot image (-b or -e)";
  if (!request.Import.Remove.empty() && request.Import.ImagePath.empty())
    return "-rm needs -import";
  return {};
}

} // namespace velmor::mkiso
