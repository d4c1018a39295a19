#pragma once
// Bootable images from the window: the boot images are picked from the compilation where
// installation discs keep them (Windows' etfsboot.com and efisys.bin, isolinux, the UEFI images
// of Linux discs), at the root or in one folder at the root, each with the settings its loader
// expects.
#include <string>
#include <vector>

#include "kavo_burner.h"

namespace velmor {

enum class BootChoice { None, Bios, Uefi, Both };

struct BootPick {
  std::vector<BootOptions> Entries; // the BIOS entry first
  bool BiosMissing = false, UefiMissing = false;
};

// The boot images `choice` asks for, as found in the gathered compilation.
BootPick PickBootFiles(const TKavoBurner &burner, BootChoice choice);

// Where the picker looks, in order, below the root or a folder at the root (for the README and
// the window's message).
const std::vector<std::string> &BiosBootNames();
const std::vector<std::string> &UefiBootNames();

} // namespace velmor
