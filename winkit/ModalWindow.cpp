#include "ModalWindow.h"

#include "Application.h"

namespace winkit {

int ModalWindow::ShowModal() {
  HWND owner = GetWindow(Handle(), GW_OWNER);
  if (owner)
    EnableWindow(owner, FALSE);
  result_ = 0;
  showing_ = true;
  Show(SW_SHOW);
  FocusFirstControl();
  MSG msg;
  while (showing_) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got <= 0) { // WM_QUIT: end the modal loop and let the outer loop see it too
      PostQuitMessage(static_cast<int>(msg.wParam));
      showing_ = false;
      break;
    }
    Application::Deliver(msg);
  }
  if (owner) {
    EnableWindow(owner, TRUE);
    SetActiveWindow(owner);
  }
  if (Handle())
    Show(SW_HIDE);
  return result_;
}

void ModalWindow::Close(int result) {
  result_ = result;
  showing_ = false;
  PostMessageA(Handle(), WM_NULL, 0, 0); // wake the modal loop
}

void ModalWindow::OnCloseRequest() { Close(0); }

void ModalWindow::OnEscape() { OnCloseRequest(); }

} // namespace winkit
