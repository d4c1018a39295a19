#include "Splitter.h"

#include <windowsx.h>

namespace winkit {

void Splitter::Create(HWND parent, int id, std::function<void(int)> onDrag) {
  onDrag_ = std::move(onDrag);
  CreateChild("VelmorSplitter", parent, WS_VISIBLE, id, LoadCursorA(nullptr, IDC_SIZEWE));
}

LRESULT Splitter::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_LBUTTONDOWN:
    grabX_ = GET_X_LPARAM(lp);
    SetCapture(Handle());
    return 0;
  case WM_MOUSEMOVE:
    if (GetCapture() == Handle()) {
      POINT pt{GET_X_LPARAM(lp), 0};
      MapWindowPoints(Handle(), GetParent(Handle()), &pt, 1);
      onDrag_(pt.x - grabX_);
    }
    return 0;
  case WM_LBUTTONUP:
    ReleaseCapture();
    return 0;
  }
  return Window::HandleMessage(msg, wp, lp);
}

} // namespace winkit
