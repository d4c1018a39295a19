#include "Panel.h"

namespace winkit {

void Panel::Create(HWND parent, int id) {
  CreateChild("TPanel", parent, WS_VISIBLE | WS_CLIPSIBLINGS, id, nullptr);
  // Tab moves through the panel's controls as through the window's own.
  SetWindowLongPtrA(Handle(), GWL_EXSTYLE,
                    GetWindowLongPtrA(Handle(), GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
}

void Panel::Enable(bool enabled) {
  for (HWND child = GetWindow(Handle(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    EnableWindow(child, enabled);
  EnableWindow(Handle(), enabled);
}

LRESULT Panel::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_COMMAND:
  case WM_NOTIFY:
  case WM_CTLCOLORSTATIC:
  case WM_CTLCOLOREDIT:
  case WM_CTLCOLORBTN:
    return SendMessageA(GetParent(Handle()), msg, wp, lp);
  case WM_PAINT: {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(Handle(), &ps);
    RECT rc;
    GetClientRect(Handle(), &rc);
    DrawEdge(dc, &rc, BDR_RAISEDINNER, BF_RECT);
    EndPaint(Handle(), &ps);
    return 0;
  }
  }
  return Window::HandleMessage(msg, wp, lp);
}

} // namespace winkit
