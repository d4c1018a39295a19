#pragma once
#include <windows.h>

#include <string>

namespace velmor {
bool BrowseForFolder(const std::string &Title, const std::wstring &Root, std::string &Folder);
int CALLBACK BrowseCallback(HWND Wnd, UINT uMsg, LPARAM lParam, LPARAM lpData);
} // namespace velmor
