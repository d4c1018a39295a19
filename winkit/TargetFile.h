#pragma once
// The path of an image file a window is about to write, taken from the box the user typed or
// chose it in, and the checks before anything is written there.
#include "Control.h"
#include "Window.h"

#include <functional>
#include <string>
#include <vector>

namespace winkit {

// Why a file must not be written (one of our drives reads it), or "" when it may be.
using TargetRefusal = std::function<std::string(const std::string &path)>;

// Takes the trimmed path from `pathBox`. Returns false, having told the user why in a box with
// `owner`'s caption, when the path is blank (the focus then goes to the box).
bool TargetPathFrom(const Window &owner, const Control &pathBox, std::string &path);

// TargetPathFrom, then makes way for the file, asking before an existing file is replaced.
// Returns false, having told the user why, when the path is blank, `refusal` refuses it, the
// user keeps the file, or the file cannot be deleted.
bool TakeTargetPath(const Window &owner, const Control &pathBox, std::string &path,
                    const TargetRefusal &refusal);

// The refusal of `file`, which is the image `image` that drive `letter` reads.
std::string ServedImageText(const std::string &file, char letter, const std::string &image);

// Asks once before the files are replaced, naming them all; true when there are none or the
// user agrees.
bool AgreeToReplace(const Window &owner, const std::vector<std::string> &existing);

} // namespace winkit
