#include "HintWindow.h"

#include <commctrl.h>

#include <stdexcept>

namespace winkit {

void HintWindow::Create(HWND owner) {
  owner_ = owner;
  hwnd_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner,
                          nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!hwnd_)
    throw std::runtime_error("cannot create tooltip window");
  // A maximum width turns on line breaks at "\r\n".
  SendMessageA(hwnd_, TTM_SETMAXTIPWIDTH, 0, 400);
}

void HintWindow::Add(HWND control, const std::string &text) {
  TOOLINFOA ti{};
  ti.cbSize = sizeof ti;
  ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  ti.hwnd = owner_;
  ti.uId = reinterpret_cast<UINT_PTR>(control);
  ti.lpszText = const_cast<char *>(text.c_str());
  SendMessageA(hwnd_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
}

std::string HintWindow::Text(HWND control) const {
  char buf[1024] = {};
  TOOLINFOA ti{};
  ti.cbSize = sizeof ti;
  ti.hwnd = owner_;
  ti.uId = reinterpret_cast<UINT_PTR>(control);
  ti.lpszText = buf;
  SendMessageA(hwnd_, TTM_GETTEXTA, sizeof buf, reinterpret_cast<LPARAM>(&ti));
  return buf;
}

} // namespace winkit
