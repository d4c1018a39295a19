#pragma once
// The modal dialogs a command may open, behind one seam so that tests can answer them.
#include <windows.h>

#include <string>
#include <vector>

namespace winkit {

// Message box flags used by the windows: information + OK, and question + Yes/No.
constexpr unsigned kInfoFlags = MB_ICONINFORMATION | MB_OK; // 64
constexpr unsigned kAskFlags = MB_ICONQUESTION | MB_YESNO;  // 36
constexpr unsigned kErrorFlags = MB_ICONERROR | MB_OK;

struct FileDialogOptions {
  std::string filter;     // pairs separated by '|', e.g. "*.iso|*.iso"
  std::string defaultExt; // without the dot, or with the "*." the designer wrote
  std::string fileName;   // initial file name
  bool multiSelect = false;
  bool mustExist = false;
  bool hideReadOnly = true;
  bool overwritePrompt = false;
  bool resizable = true;
};

class DialogService {
public:
  virtual ~DialogService() = default;
  // Returns the button pressed (IDOK, IDYES, IDNO ...).
  virtual int MessageBox(HWND owner, const std::string &text, const std::string &caption,
                         unsigned flags) = 0;
  // Returns false when the user cancels; otherwise the chosen files in the dialog's order.
  virtual bool OpenFiles(HWND owner, const FileDialogOptions &options,
                         std::vector<std::string> &files) = 0;
  virtual bool SaveFile(HWND owner, const FileDialogOptions &options, std::string &file) = 0;
  virtual bool PickFolder(HWND owner, const std::string &title, std::string &folder) = 0;
};

// The service in use: the system's dialogs unless a test installed its own.
DialogService &Dialogs();
// Installs a substitute (nullptr restores the system's dialogs). Not owned.
void SetDialogs(DialogService *service);

// Turns "a|b|c|d" into the double-zero-terminated list the file dialogs take.
std::string MakeDialogFilter(const std::string &filter);
// Splits the multi-select answer of a file dialog ("dir\0a\0b\0\0" or "path\0\0").
std::vector<std::string> SplitDialogFiles(const char *buffer);

} // namespace winkit
