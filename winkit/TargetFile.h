#pragma once
// The path of an image file a window is about to write, taken from the box the user typed or
// chose it in.
#include "Control.h"
#include "Window.h"

#include <string>

namespace winkit {

// Takes the trimmed path from `pathBox` and makes way for it, asking before an existing file
// is replaced. Returns false, having told the user why in a box with `owner`'s caption, when
// the path is blank (the focus then goes to the box), the user keeps the file, or the file
// cannot be deleted.
bool TakeTargetPath(const Window &owner, const Control &pathBox, std::string &path);

} // namespace winkit
