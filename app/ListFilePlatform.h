#pragma once
// What the image list file needs of the system beyond the C library.
#include <string>

namespace velmor {

enum class MoveResult { Moved, TargetExists, Failed };
// Renames `from` to `to` unless something is already called `to`.
MoveResult MoveWithoutReplacing(const std::string &from, const std::string &to);

} // namespace velmor
