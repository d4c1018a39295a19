#pragma once
// Separators in 8-bit paths of a multi-byte code page. A "\" or "/" byte separates only where a
// character starts: in GBK the second byte of 運 (DF 5C) is the same byte as "\".
#include <cstddef>
#include <string>

#include "names.h"

namespace velmor {

// Position of the first separator (any byte of `seps` that starts a character) at or after
// `from`, which must start a character; npos when there is none.
std::size_t FindSeparator(const std::string &path, const char *seps, const CharTable &chars,
                          std::size_t from = 0);

// Position of the last separator; npos when there is none.
std::size_t FindLastSeparator(const std::string &path, const char *seps, const CharTable &chars);

// Whether the last character of the path is a separator.
bool EndsWithSeparator(const std::string &path, const char *seps, const CharTable &chars);

} // namespace velmor
