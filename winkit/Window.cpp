#include "Window.h"

#include "Application.h"

#include <vector>

namespace winkit {

Window::~Window() { Destroy(); }

void Window::Destroy() {
  if (hwnd_)
    DestroyWindow(hwnd_); // WM_NCDESTROY clears hwnd_
}

std::string Window::Text() const {
  std::vector<char> buf(GetWindowTextLengthA(hwnd_) + 1);
  GetWindowTextA(hwnd_, buf.data(), static_cast<int>(buf.size()));
  return buf.data();
}

SIZE Window::ClientSize() const {
  RECT rc{};
  GetClientRect(hwnd_, &rc);
  return {rc.right - rc.left, rc.bottom - rc.top};
}

void Window::StartTimer(UINT_PTR id, UINT ms, std::function<void()> fn) {
  timers_[id] = std::move(fn);
  SetTimer(hwnd_, id, ms, nullptr);
}

void Window::StopTimer(UINT_PTR id) {
  KillTimer(hwnd_, id);
  timers_.erase(id);
}

void Window::Register(const char *className, HCURSOR cursor) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExA(GetModuleHandleA(nullptr), className, &wc))
    return;
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &Window::Proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = cursor ? cursor : LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = LoadIconA(wc.hInstance, "MAINICON");
  wc.lpszClassName = className;
  RegisterClassExA(&wc);
}

void Window::CreateTopLevel(const char *className, const std::string &caption, DWORD style,
                            int clientWidth, int clientHeight, HWND owner, HMENU menu) {
  Register(className, nullptr);
  RECT rc{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&rc, style, menu != nullptr, 0);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  CreateWindowExA(0, className, caption.c_str(), style, x, y, w, h, owner, menu,
                  GetModuleHandleA(nullptr), this);
  if (!hwnd_)
    throw std::runtime_error("CreateWindowEx failed");
}

void Window::CreateChild(const char *className, HWND parent, DWORD style, int id, HCURSOR cursor) {
  Register(className, cursor);
  CreateWindowExA(0, className, "", style | WS_CHILD, 0, 0, 0, 0, parent,
                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                  this);
  if (!hwnd_)
    throw std::runtime_error("CreateWindowEx failed");
}

namespace {
constexpr char kDialogKeysProperty[] = "winkit.dialogkeys";
constexpr char kAcceleratorsProperty[] = "winkit.accelerators";
} // namespace

void Window::UseDialogKeys() {
  SetPropA(hwnd_, kDialogKeysProperty, reinterpret_cast<HANDLE>(1));
  SetWindowLongPtrA(hwnd_, GWL_EXSTYLE,
                    GetWindowLongPtrA(hwnd_, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
}

void Window::SetDefaultButton(int id) {
  defaultButton_ = id;
  SendMessageA(hwnd_, DM_SETDEFID, static_cast<WPARAM>(id), 0);
}

void Window::FocusFirstControl() {
  if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE))
    SetFocus(first);
}

void Window::UseAccelerators(const ACCEL *keys, int count) {
  accelerators_.reset(CreateAcceleratorTableA(const_cast<ACCEL *>(keys), count));
  SetPropA(hwnd_, kAcceleratorsProperty, accelerators_.get());
}

bool Window::TakeDialogKey(MSG &msg) {
  if (msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST || !msg.hwnd)
    return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  if (!root)
    return false;
  if (auto keys = static_cast<HACCEL>(GetPropA(root, kAcceleratorsProperty));
      keys && TranslateAcceleratorA(root, keys, &msg))
    return true;
  return GetPropA(root, kDialogKeysProperty) && IsDialogMessageA(root, &msg);
}

// The button of `id` anywhere below `parent` (panels included).
static HWND FindControl(HWND parent, int id) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) == id)
      return child;
    if (HWND inner = FindControl(child, id))
      return inner;
  }
  return nullptr;
}

LRESULT Window::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_COMMAND:
    if (LOWORD(wp) == IDCANCEL && !lp && GetPropA(hwnd_, kDialogKeysProperty)) {
      OnEscape(); // the dialog navigation's Esc
      return 0;
    }
    if (OnCommand(LOWORD(wp), HIWORD(wp)))
      return 0;
    break;
  case WM_NOTIFY:
    if (OnNotify(*reinterpret_cast<const NMHDR *>(lp)))
      return 0;
    break;
  case WM_CLOSE:
    OnCloseRequest();
    return 0;
  case DM_GETDEFID:
    return defaultButton_ ? MAKELRESULT(defaultButton_, DC_HASDEFID) : 0;
  case DM_SETDEFID: {
    // Only the default button is drawn with the heavy frame.
    if (HWND button = FindControl(hwnd_, static_cast<int>(wp)))
      SendMessageA(button, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    return TRUE;
  }
  case WM_ACTIVATE:
    if (GetPropA(hwnd_, kDialogKeysProperty)) {
      if (LOWORD(wp) == WA_INACTIVE) {
        HWND focus = GetFocus();
        lastFocus_ = focus && IsChild(hwnd_, focus) ? focus : nullptr;
      } else if (lastFocus_ && IsWindow(lastFocus_) && IsWindowEnabled(lastFocus_)) {
        SetFocus(lastFocus_);
        return 0;
      }
    }
    break;
  }
  return Default(msg, wp, lp);
}

bool Window::OnCommand(int, int) { return false; }

bool Window::OnNotify(const NMHDR &) { return false; }

void Window::OnCloseRequest() { Default(WM_CLOSE, 0, 0); }

LRESULT CALLBACK Window::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto *self = static_cast<Window *>(reinterpret_cast<CREATESTRUCTA *>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto *self = reinterpret_cast<Window *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self)
    return DefWindowProcA(hwnd, msg, wp, lp);

  LRESULT result = 0;
  bool handled = false;
  App().Guard([&] {
    if (msg == WM_TIMER) {
      auto it = self->timers_.find(wp);
      if (it != self->timers_.end()) {
        auto fn = it->second; // the handler may stop its own timer
        fn();
        handled = true;
        return;
      }
    }
    result = self->HandleMessage(msg, wp, lp);
    handled = true;
  });
  if (msg == WM_NCDESTROY) {
    RemovePropA(hwnd, kDialogKeysProperty);
    RemovePropA(hwnd, kAcceleratorsProperty);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    self->timers_.clear();
  }
  // A handler that threw has been reported; the message gets the system's default answer.
  return handled ? result : DefWindowProcA(hwnd, msg, wp, lp);
}

} // namespace winkit
