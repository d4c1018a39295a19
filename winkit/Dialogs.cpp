#include "Dialogs.h"

#include "ui/FolderPicker.h"

#include <windows.h>

#include <commdlg.h>

namespace winkit {
namespace {

class SystemDialogs final : public DialogService {
public:
  int MessageBox(HWND owner, const std::string &text, const std::string &caption,
                 unsigned flags) override {
    return ::MessageBoxA(owner, text.c_str(), caption.c_str(), flags);
  }

  bool OpenFiles(HWND owner, const FileDialogOptions &options,
                 std::vector<std::string> &files) override {
    std::string buffer(64 * 1024, '\0');
    OPENFILENAMEA ofn = MakeOfn(owner, options, buffer);
    if (options.multiSelect)
      ofn.Flags |= OFN_ALLOWMULTISELECT;
    if (options.mustExist)
      ofn.Flags |= OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (!GetOpenFileNameA(&ofn))
      return false;
    files = SplitDialogFiles(buffer.data());
    return true;
  }

  bool SaveFile(HWND owner, const FileDialogOptions &options, std::string &file) override {
    std::string buffer(MAX_PATH * 4, '\0');
    OPENFILENAMEA ofn = MakeOfn(owner, options, buffer);
    if (options.overwritePrompt)
      ofn.Flags |= OFN_OVERWRITEPROMPT;
    if (!GetSaveFileNameA(&ofn))
      return false;
    file = buffer.c_str();
    return true;
  }

  // The picker finds the application's window itself and disables the others around it.
  bool PickFolder(HWND, const std::string &title, std::string &folder) override {
    return velmor::BrowseForFolder(title, L"", folder);
  }

private:
  OPENFILENAMEA MakeOfn(HWND owner, const FileDialogOptions &options, std::string &buffer) {
    filter_ = MakeDialogFilter(options.filter);
    ext_ = options.defaultExt;
    if (ext_.rfind("*.", 0) == 0)
      ext_.erase(0, 2);
    buffer.replace(0, options.fileName.size(), options.fileName);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter_.empty() ? nullptr : filter_.c_str();
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrDefExt = ext_.empty() ? nullptr : ext_.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (options.hideReadOnly)
      ofn.Flags |= OFN_HIDEREADONLY;
    if (options.resizable)
      ofn.Flags |= OFN_ENABLESIZING;
    return ofn;
  }

  std::string filter_, ext_;
};

SystemDialogs systemDialogs;
DialogService *current = nullptr;

} // namespace

DialogService &Dialogs() { return current ? *current : systemDialogs; }
void SetDialogs(DialogService *service) { current = service; }

std::string MakeDialogFilter(const std::string &filter) {
  if (filter.empty())
    return {};
  std::string out = filter;
  for (char &c : out)
    if (c == '|')
      c = '\0';
  out.append(2, '\0');
  return out;
}

std::vector<std::string> SplitDialogFiles(const char *buffer) {
  std::vector<std::string> parts;
  for (const char *p = buffer; *p; p += parts.back().size() + 1)
    parts.emplace_back(p);
  if (parts.size() <= 1)
    return parts;
  std::string dir = parts.front();
  // Only a drive root ("C:\") comes back with its separator; testing the last byte instead
  // would misread a GBK character whose trail byte is 0x5C.
  const bool isRoot = dir.size() == 3 && dir[1] == ':';
  if (!isRoot)
    dir += '\\';
  std::vector<std::string> files;
  for (size_t i = 1; i < parts.size(); ++i)
    files.push_back(dir + parts[i]);
  return files;
}

} // namespace winkit
