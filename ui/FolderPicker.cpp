#include "FolderPicker.h"

#include <objbase.h>
#include <shlobj.h>

#include <vector>

namespace velmor {
namespace {

// Releases a COM interface when it goes.
template <typename T> class ComRef {
public:
  ComRef() = default;
  ~ComRef() {
    if (p_)
      p_->Release();
  }
  ComRef(const ComRef &) = delete;
  ComRef &operator=(const ComRef &) = delete;
  T *operator->() const { return p_; }
  T *Get() const { return p_; }
  T **Out() { return &p_; }

private:
  T *p_ = nullptr;
};

// A block of the shell's allocator, given back to it when it goes.
template <typename T> class MallocBlock {
public:
  explicit MallocBlock(IMalloc *allocator, T *block = nullptr)
      : allocator_(allocator), block_(block) {}
  ~MallocBlock() {
    if (block_)
      allocator_->Free(block_);
  }
  MallocBlock(const MallocBlock &) = delete;
  MallocBlock &operator=(const MallocBlock &) = delete;
  T *Get() const { return block_; }
  T **Out() { return &block_; }

private:
  IMalloc *allocator_;
  T *block_;
};

// COM for the dialog's thread, when the thread has none yet.
class ComScope {
public:
  ComScope() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComScope() {
    if (initialized_)
      CoUninitialize();
  }
  ComScope(const ComScope &) = delete;
  ComScope &operator=(const ComScope &) = delete;

private:
  bool initialized_;
};

// While it lives, the visible, enabled top-level windows of the calling thread are disabled,
// and critical-error boxes are off for the process. Both are restored even when the dialog
// ends by an exception, and the window that was active is made active again (with every
// window disabled, closing the dialog leaves the activation elsewhere).
class ApplicationWindowsDisabled {
public:
  ApplicationWindowsDisabled()
      : active_(GetActiveWindow()), errorMode_(SetErrorMode(SEM_FAILCRITICALERRORS)) {
    EnumThreadWindows(GetCurrentThreadId(), &ApplicationWindowsDisabled::Collect,
                      reinterpret_cast<LPARAM>(&disabled_));
    for (HWND wnd : disabled_)
      EnableWindow(wnd, FALSE);
  }
  ~ApplicationWindowsDisabled() {
    SetErrorMode(errorMode_);
    for (HWND wnd : disabled_)
      if (IsWindow(wnd))
        EnableWindow(wnd, TRUE);
    if (active_ && IsWindow(active_) && GetActiveWindow() != active_)
      SetActiveWindow(active_);
  }
  ApplicationWindowsDisabled(const ApplicationWindowsDisabled &) = delete;
  ApplicationWindowsDisabled &operator=(const ApplicationWindowsDisabled &) = delete;

private:
  static BOOL CALLBACK Collect(HWND wnd, LPARAM windows) {
    if (IsWindowVisible(wnd) && IsWindowEnabled(wnd))
      reinterpret_cast<std::vector<HWND> *>(windows)->push_back(wnd);
    return TRUE;
  }

  HWND active_;
  UINT errorMode_;
  std::vector<HWND> disabled_;
};

bool IsExistingFolder(const std::string &path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return !path.empty() && attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The application's window: the root owner of the thread's active window, if any.
HWND ApplicationWindow() {
  HWND active = GetActiveWindow();
  return active ? GetAncestor(active, GA_ROOTOWNER) : nullptr;
}

constexpr ULONG kDisplayNameSize = 260;

} // namespace

bool BrowseForFolder(const std::string &Title, const std::wstring &Root, std::string &Folder) {
  if (!IsExistingFolder(Folder))
    Folder.clear();
  BROWSEINFOA info{};

  ComScope com;
  ComRef<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.Out())) || !allocator.Get())
    return false;
  MallocBlock<char> displayName(allocator.Get(),
                                static_cast<char *>(allocator->Alloc(kDisplayNameSize)));
  if (!displayName.Get())
    return false;

  const HWND owner = ApplicationWindow();
  ComRef<IShellFolder> desktop;
  MallocBlock<ITEMIDLIST> root(allocator.Get());
  if (!Root.empty() && SUCCEEDED(SHGetDesktopFolder(desktop.Out())) && desktop.Get()) {
    std::wstring name = Root; // ParseDisplayName takes a writable string
    ULONG eaten = 0;
    if (FAILED(desktop->ParseDisplayName(owner, nullptr, name.data(), &eaten, root.Out(), nullptr)))
      *root.Out() = nullptr;
  }

  info.hwndOwner = owner;
  info.pidlRoot = root.Get();
  info.pszDisplayName = displayName.Get();
  info.lpszTitle = Title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  if (!Folder.empty()) {
    info.lpfn = &BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(Folder.c_str());
  }

  MallocBlock<ITEMIDLIST> chosen(allocator.Get());
  {
    ApplicationWindowsDisabled disabled;
    *chosen.Out() = SHBrowseForFolderA(&info);
  }
  // A chosen item without a file-system path (the dialog should not allow one) is no folder:
  // the buffer would still hold the item's display name.
  if (!chosen.Get() || !SHGetPathFromIDListA(chosen.Get(), displayName.Get()))
    return false;
  Folder = displayName.Get();
  return true;
}

int CALLBACK BrowseCallback(HWND Wnd, UINT uMsg, LPARAM /*lParam*/, LPARAM lpData) {
  if (uMsg == BFFM_INITIALIZED && lpData)
    SendMessageA(Wnd, BFFM_SETSELECTIONA, TRUE, lpData);
  return 0;
}

} // namespace velmor
