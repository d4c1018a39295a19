#include "Control.h"

#include <stdexcept>

namespace winkit {

void Control::Create(const char *className, HWND parent, int id, DWORD style, DWORD exStyle,
                     const char *text) {
  hwnd_ = CreateWindowExA(exStyle, className, text, style | WS_CHILD, 0, 0, 0, 0, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                          GetModuleHandleA(nullptr), nullptr);
  if (!hwnd_)
    throw std::runtime_error(std::string("cannot create control ") + className);
}

std::string Control::Text() const {
  std::string text(GetWindowTextLengthA(hwnd_) + 1, '\0');
  text.resize(GetWindowTextA(hwnd_, text.data(), static_cast<int>(text.size())));
  return text;
}

RECT Control::Bounds() const {
  RECT rc{};
  GetWindowRect(hwnd_, &rc);
  MapWindowPoints(HWND_DESKTOP, GetParent(hwnd_), reinterpret_cast<POINT *>(&rc), 2);
  return rc;
}

SIZE Control::ClientSize() const {
  RECT rc{};
  GetClientRect(hwnd_, &rc);
  return {rc.right - rc.left, rc.bottom - rc.top};
}

} // namespace winkit
