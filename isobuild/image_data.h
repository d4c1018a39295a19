#pragma once
// The data of one entry as both image writers copy it: which entries carry data, the copy padded
// to whole sectors with the boot info table laid on it, and what becomes of a source that cannot
// be opened or that changed since it was listed.
#include <cstdint>
#include <memory>
#include <string>

#include "build_problem.h"
#include "compilation.h"
#include "el_torito.h"
#include "platform.h"

namespace velmor {

// Folders, empty files and entries at a fixed sector (the boot catalog) have no data in the file
// area.
bool CarriesData(const TEntryNode &Entry);

// Reads one entry's share of the image: its listed size, padded to whole sectors. A source that
// turns out shorter or cannot be read any more is delivered as zeros from there, so every later
// file stays where the directories say; one that is longer is cut at its listed size. Either is
// Changed() once the share has been delivered.
class EntryData {
public:
  EntryData(Platform &Files, const TEntryNode &Entry, const DataPatch *Patch);
  // False when the source cannot be opened (Failure() then says so).
  bool Open();
  // Bytes of the share not yet delivered, padding included.
  std::uint64_t Left() const { return left_ + padding_; }
  // Fills Target with the next bytes of the share, at most Room (a whole number of sectors);
  // returns how many.
  std::size_t Fill(std::uint8_t *Target, std::size_t Room);
  bool Changed() const { return changed_; }
  // What went wrong with the source: it could not be opened, or it changed; none otherwise.
  WriteFailure Failure() const;

private:
  Platform &files_;
  const TEntryNode &entry_;
  const DataPatch *patch_;
  std::unique_ptr<SourceFile> source_;
  std::uint64_t left_;
  std::uint64_t padding_;
  bool changed_ = false;
  bool unopened_ = false;
  std::uint32_t systemCode_ = 0; // of the failed open or read
};

} // namespace velmor
