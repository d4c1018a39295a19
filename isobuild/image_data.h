#pragma once
// The data of one entry as both image writers copy it: which entries carry data, the copy padded
// to whole sectors with the boot info table laid on it, what becomes of a source that cannot be
// opened or that changed since it was listed, and the completion texts both writers end with.
#include <cstdint>
#include <memory>
#include <string>

#include "compilation.h"
#include "el_torito.h"
#include "platform.h"

namespace velmor {

// Folders, empty files and entries at a fixed sector (the boot catalog) have no data in the file
// area.
bool CarriesData(const TEntryNode &Entry);

// The completion texts of a source that cannot be opened, and of one that is shorter or longer
// than when it was listed.
std::string CantOpenText(const std::string &SourcePath);
std::string ChangedText(const std::string &SourcePath);
// The completion texts of an image file that cannot be created, and of one that cannot be
// written (or closed).
std::string CantCreateText(const std::string &ImagePath);
std::string CantWriteText(const std::string &ImagePath);

// Reads one entry's share of the image: its listed size, padded to whole sectors. A source that
// turns out shorter or cannot be read any more is delivered as zeros from there, so every later
// file stays where the directories say; one that is longer is cut at its listed size. Either is
// Changed() once the share has been delivered.
class EntryData {
public:
  EntryData(Platform &Files, const TEntryNode &Entry, const DataPatch *Patch);
  // False when the source cannot be opened (CantOpenText).
  bool Open();
  // Bytes of the share not yet delivered, padding included.
  std::uint64_t Left() const { return left_ + padding_; }
  // Fills Target with the next bytes of the share, at most Room (a whole number of sectors);
  // returns how many.
  std::size_t Fill(std::uint8_t *Target, std::size_t Room);
  bool Changed() const { return changed_; }

private:
  Platform &files_;
  const TEntryNode &entry_;
  const DataPatch *patch_;
  std::unique_ptr<SourceFile> source_;
  std::uint64_t left_;
  std::uint64_t padding_;
  bool changed_ = false;
};

} // namespace velmor
