#pragma once
// The files one rip writes (the image or the track files and cue sheet, and the .sha1 list).
// A file that is there already, which the user agreed to replace, is written under a temporary
// name beside it and put in its place only when the whole rip is done, so a rip that fails or
// is given up leaves it as it was; a new file is written under its own name.
#include "VolumeFiles.h"

#include <memory>
#include <string>
#include <vector>

namespace velmor {

class RipOutputs {
public:
  // `replaced`: the files there now that the rip replaces.
  explicit RipOutputs(std::vector<std::string> replaced);
  // Deletes every file made and not put in place.
  ~RipOutputs();
  RipOutputs(const RipOutputs &) = delete;
  RipOutputs &operator=(const RipOutputs &) = delete;

  // The file that becomes `path`; IsOpen() and LastError() tell whether it could be made.
  std::unique_ptr<RippedImageFile> Create(const std::string &path);
  // Puts each file written under a temporary name in its place, in the order they were made.
  // On failure, `failed` names the file that could not be replaced and `error` is the system's
  // code; the temporary files not yet in place are deleted, the rest stays.
  bool Commit(std::string &failed, DWORD &error);
  // Deletes every file made, under whichever name.
  void Discard();

private:
  struct Made {
    std::string written; // the name it is written under
    std::string path;    // the name it is for
  };
  std::vector<std::string> replaced_;
  std::vector<Made> made_;
};

} // namespace velmor
