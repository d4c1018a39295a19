#pragma once
// Whether two paths name one file, whatever names they use (another case, a short name, a
// link): by the volume and the file index the system gives the open file.
#include <string>

namespace velmor {

// False when either path names nothing.
bool SameFile(const std::string &first, const std::string &second);

} // namespace velmor
