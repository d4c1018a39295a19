#pragma once
// Gathering a list of files and folders into the compilation, as the image-from-files window and
// velmor-mkiso both do: one item at a time, noting what the tree leaves out and stopping the
// walk when asked.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kavo_burner.h"

namespace velmor {

// One item to put into the image. A file goes into the image's root; a folder is walked
// (with its subfolders when Recursive) and, with KeepPath, rebuilt under its own path.
struct SourceItem {
  std::string Path;
  bool Folder = false;
  bool KeepPath = true;
  bool Recursive = true;
};

struct GatherResult {
  std::vector<LeftOutItem> LeftOut; // in the order found, one line per path in a row
  bool LimitReached = false;        // the item that reached it is the last of LeftOut
  bool Stopped = false;             // Stop answered true: the rest was passed over
};

struct GatherOptions {
  // Asked before every folder and file; once it answers true the rest is passed over.
  std::function<bool()> Stop;
  // Counts the files the walk comes to (before the tree takes or refuses them); may be read
  // from another thread while the gathering runs.
  std::atomic<std::int64_t> *FilesGathered = nullptr;
  // Ends the gathering at the first item that reaches a limit of the compilation.
  bool StopAtLimit = false;
  // Files the caller leaves out without a word, by their full path.
  std::function<bool(const std::string &path)> Skip;
};

// Inserts every item into the burner's compilation, which must be new. The burner's OnAddFile,
// OnAddDir and OnLeftOut are its own while it runs and are given back afterwards.
GatherResult GatherItems(TKavoBurner &Burner, const std::vector<SourceItem> &Items,
                         const GatherOptions &Options = {});

} // namespace velmor
