#pragma once
// The shell's folder-browsing dialog: the user chooses a folder of the file system.
#include <windows.h>

#include <string>

namespace velmor {

// Shows the dialog, owned by the application's window (the root owner of the thread's active
// window), with the thread's other windows disabled while it is open.
// Title: the text above the tree. Root: the folder at the top of the tree (UTF-16), empty for
// the desktop. Folder: the folder preselected on the way in (emptied first when it names no
// existing folder) and the chosen folder on the way out.
// Returns true when the user confirmed a folder; otherwise Folder is left as described.
bool BrowseForFolder(const std::string &Title, const std::wstring &Root, std::string &Folder);

// The dialog's callback: on BFFM_INITIALIZED with a path as its data, preselects that path.
int CALLBACK BrowseCallback(HWND Wnd, UINT uMsg, LPARAM lParam, LPARAM lpData);

} // namespace velmor
