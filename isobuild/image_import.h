#pragma once
// An existing image taken as the compilation to change: its tree goes into the compilation with
// its names, dates and hidden flags, each file read later from the image at its offset; the
// image's boot entries are kept as data and set up again, BIOS and UEFI ones alike.
#include <string>
#include <vector>

#include "build_problem.h"
#include "image_tree_reader.h"
#include "kavo_burner.h"

namespace velmor {

struct ImportRequest {
  std::string ImagePath;
  // Paths in the image ("/" or "\" between names, letter case ignored) left out with all they
  // hold.
  std::vector<std::string> Remove;
};

// A boot entry of the imported image, with the path its boot image has in the new tree.
struct KeptBootEntry {
  ImportedBootEntry Entry;
  std::string ImagePath; // "/" between names; empty when the boot image did not come along
};

struct ImportResult {
  // Why nothing was taken: the image cannot be read (with the fault), or a path to remove is
  // not in it. Empty on success.
  std::string Fault;
  std::vector<LeftOutItem> LeftOut; // files of the image the compilation cannot take
  bool LimitReached = false;
  std::vector<KeptBootEntry> Boot;
  std::string CatalogPath;        // where the image's boot catalog was in its tree; empty: hidden
  const char *Names = "";         // the tree that was read
  std::string Label;              // the image's volume label
  std::vector<std::string> Notes; // what became of the boot, in words, for the user
};

// Fills the burner's compilation, which must be new, with the image's tree. Run before the
// other sources are gathered, so that their names meet the image's as today's rules say.
ImportResult ImportImage(TKavoBurner &Burner, Platform &Files, const ImportRequest &Request);

// Makes the new image boot as the imported one did: each BIOS and UEFI entry in the catalog's
// order, with its emulation, load size and info table; entries for other firmwares or hard disk
// emulation are told in the result's notes. An empty text, or why it cannot boot that way.
std::string KeepImportedBoot(TKavoBurner &Burner, ImportResult &Result);

} // namespace velmor
