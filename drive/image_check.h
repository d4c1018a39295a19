// The checks an image path passes before a drive is asked for it.
#pragma once

#include <string>

#include "drive_system.h"

namespace velmor {

// Why an image cannot be given to the driver. The driver opens "\??\" + path in other
// threads and, at every start, as the system: a path must name the same file there, so it
// has to be a full path on a local drive letter.
enum class ImageRefusal {
  kNone,
  kMissing,       // nothing there, or no path can be formed
  kFolder,        // a folder, not a file
  kNoDriveLetter, // a device path or another form without a drive letter
  kNetworkDrive,  // a network share or a drive letter that stands for one
  kSubstDrive,    // a drive letter that stands for a folder (SUBST)
  kTooLong,       // longer than a drive keeps (kMaxDriveImagePathUnits)
};
struct ImageCheck {
  std::string path; // the full path, or the given one when none could be formed
  ImageRefusal refusal;
};
// Forms the full path of `given`, a relative one against `baseFolder` (ending in "\"; ""
// stands for the current folder), and checks it.
ImageCheck CheckImagePath(DriveSystem &system, const std::string &given,
                          const std::string &baseFolder);
// The same checks for a full path that an image's descriptor names (a track's file), which
// the image readers have already found to be a file.
ImageRefusal CheckTrackFilePath(DriveSystem &system, const std::u16string &fullPath);

} // namespace velmor
