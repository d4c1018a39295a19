// A folder mounted as a disc: an ISO 9660 + Joliet image (with a UDF bridge where it needs one) of
// the folder's contents (its files at the root, as genisoimage makes it), built with velmor-mkiso's
// builder into a cache folder of ours, mounted like any image and deleted when its drive is
// ejected. The disc is a snapshot: later changes to the folder are not seen. The cache folder
// itself is never gathered: it holds the images other runs are building.
#pragma once

#include <string>
#include <vector>

#include "drive_system.h"
#include "folder_disc_cache.h"
#include "gather_items.h"
#include "platform.h"

namespace velmor {

// The volume label of a disc made from `folder`: its last name, cut at a character to fit both
// labels (32 bytes of the ISO 9660 one, 16 UCS-2 units of the Joliet one); "CDROM" for a drive's
// root.
std::string FolderDiscLabel(Platform &platform, const std::string &folder);

struct FolderDisc {
  // Why no image was written.
  enum class Failure {
    kNone,
    kNoCacheFolder, // the user's local application data has no folder for it
    kTooMany,       // the folder holds more than an image can: the last of leftOut says which
    kWrite,         // the write failed: `write` says how
  };
  std::string image;                // the image written; empty when none was
  std::vector<LeftOutItem> leftOut; // what the folder holds that the disc does not
  Failure failure = Failure::kNone;
  WriteFailure write;
  // Keeps the cache's clean-up away from the image: held until its drive is recorded or the
  // image deleted.
  FolderDiscLock lock;
};
// Builds the image of `folder` (a full path) into `cacheFolder` under a name of its own, with a
// note of the folder beside it. A failed build leaves no file behind.
FolderDisc BuildFolderDisc(Platform &platform, DriveSystem &system, const std::string &folder,
                           const std::string &cacheFolder);

} // namespace velmor
