#pragma once
// Bootable images from the window: the boot images are picked from the compilation where
// installation discs keep them (Windows' etfsboot.com and efisys.bin, isolinux, the UEFI images
// of Linux discs), in the shallowest folder that holds one (a dropped disc folder keeps its
// whole path), each with the settings its loader expects.
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

// What the picker looks for, in order, below each folder (for the window's message).
const std::vector<std::string> &BiosBootNames();
const std::vector<std::string> &UefiBootNames();

} // namespace velmor
