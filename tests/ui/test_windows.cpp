#include "test_windows.h"

#include <commctrl.h>

namespace velmor::test {

RecordingWindow::RecordingWindow() {
  static const ATOM atom = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &RecordingWindow::Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VelmorUiTestWindow";
    return RegisterClassA(&wc);
  }();
  (void)atom;
  hwnd_ = CreateWindowExA(0, "VelmorUiTestWindow", "ui test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                          0, 300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), this);
}

RecordingWindow::~RecordingWindow() {
  if (hwnd_)
    DestroyWindow(hwnd_);
}

std::vector<RecordingWindow::Message> RecordingWindow::Received(UINT first, UINT last) const {
  std::vector<Message> found;
  for (const Message &m : messages_)
    if (m.msg >= first && m.msg <= last)
      found.push_back(m);
  return found;
}

LRESULT CALLBACK RecordingWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrA(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA *>(lp)->lpCreateParams));
  auto *self = reinterpret_cast<RecordingWindow *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self) {
    self->messages_.push_back({msg, wp, lp});
    if (msg == WM_NCDESTROY)
      self->hwnd_ = nullptr;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

HWND CreateListView(HWND parent) {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
    return InitCommonControlsEx(&icc) != FALSE;
  }();
  (void)registered;
  return CreateWindowExA(0, WC_LISTVIEWA, "", WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0, 200, 100,
                         parent, nullptr, GetModuleHandleA(nullptr), nullptr);
}

} // namespace velmor::test
