#pragma once
// The windows' words for what a build left out or could not do: the image-from-files window and
// the folder mounted as a disc both show them.
#include <string>

#include "build_problem.h"

namespace velmor {

// Why an item is not in the image, as a list line shows it after the path.
std::string LeftOutText(const LeftOutItem &Item);

// A failed build in the user's words: what went wrong with which file and what to do, with the
// system's text for its code as a detail line.
std::string WriteFailureMessage(const WriteFailure &Failure);

} // namespace velmor
