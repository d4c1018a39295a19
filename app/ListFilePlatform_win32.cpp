#include "ListFilePlatform.h"

#include <windows.h>

namespace velmor {

MoveResult MoveWithoutReplacing(const std::string &from, const std::string &to) {
  if (MoveFileExA(from.c_str(), to.c_str(), 0)) // without MOVEFILE_REPLACE_EXISTING
    return MoveResult::Moved;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MoveResult::TargetExists
                                                                     : MoveResult::Failed;
}

} // namespace velmor
