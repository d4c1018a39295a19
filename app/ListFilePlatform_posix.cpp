// The list file's rename on hosts other than Windows.
#include "ListFilePlatform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace velmor {

MoveResult MoveWithoutReplacing(const std::string &from, const std::string &to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return MoveResult::Moved;
  return errno == EEXIST ? MoveResult::TargetExists : MoveResult::Failed;
}

} // namespace velmor
