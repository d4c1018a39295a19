#include "ListFilePlatform.h"

#include <windows.h>

namespace velmor {

std::string Utf16ToAnsi(std::u16string_view text) {
  if (text.empty())
    return {};
  const auto *wide = reinterpret_cast<const wchar_t *>(text.data());
  const int units = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, units, out.data(), bytes, nullptr, nullptr);
  return out;
}

MoveResult MoveWithoutReplacing(const std::string &from, const std::string &to) {
  if (MoveFileExA(from.c_str(), to.c_str(), 0)) // without MOVEFILE_REPLACE_EXISTING
    return MoveResult::Moved;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MoveResult::TargetExists
                                                                     : MoveResult::Failed;
}

} // namespace velmor
