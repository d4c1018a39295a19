#pragma once
// What the image list file needs of the system beyond the C library.
#include <string>
#include <string_view>

namespace velmor {

// UTF-16 text in the program's ANSI code page; characters it lacks become '?'.
std::string Utf16ToAnsi(std::u16string_view text);

enum class MoveResult { Moved, TargetExists, Failed };
// Renames `from` to `to` unless something is already called `to`.
MoveResult MoveWithoutReplacing(const std::string &from, const std::string &to);

} // namespace velmor
