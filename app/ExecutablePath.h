#pragma once
#include <string>

namespace velmor {

// Directory of the running executable, with its trailing backslash.
std::string ExecutableDirectory();
// Length of `path` up to and including its last backslash, reading GBK double-byte
// characters whole (a trail byte may be 0x5C); 0 when there is none.
size_t DirectoryPartLength(const std::string &path, bool (*isLeadByte)(unsigned char));

} // namespace velmor
