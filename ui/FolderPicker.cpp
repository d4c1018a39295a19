#include "FolderPicker.h"
namespace velmor {
bool BrowseForFolder(const std::string &, const std::wstring &, std::string &) { return false; }
int CALLBACK BrowseCallback(HWND, UINT, LPARAM, LPARAM) { return 0; }
} // namespace velmor
