// What an insert comes to before any drive is asked for: the image's full path, checked; how
// its contents say it is mounted; and whether it is refused or needs the user's word first.
// The window and velmor-drive make the same plan and only word its outcome differently.
#pragma once

#include <string>

#include "disc_image.h"
#include "image_check.h"

namespace velmor {

struct MountPlan {
  enum class Verdict {
    kMount,
    kRefused,  // image.refusal, trackFile.refusal or detected.error says why
    kAskFirst, // no ISO 9660 or UDF volume where one belongs: mount only if the user says so
  };
  Verdict verdict = Verdict::kRefused;
  ImageCheck image;                              // the path the user gave, as the drive records it
  formats::DetectedImage detected;               // the image's kind and, for a layout, its tracks
  ImageCheck trackFile{{}, ImageRefusal::kNone}; // a track's file that the driver could not rely on
  bool served = false; // read through the image server (served_client.h), which opens it

  // The layout to send, or null for the classic add request.
  const formats::DiscLayout *Layout() const {
    return detected.kind == formats::ImageKind::kLayout ? &detected.layout : nullptr;
  }
};

// Checks the path (relative ones against `baseFolder`, as CheckImagePath) and reads the image.
// An image the server reads is not read here; it may lie on a share, which the server opens
// as the caller (and may not reach at the next start).
MountPlan PlanMount(DriveSystem &system, const std::string &given, const std::string &baseFolder);

} // namespace velmor
