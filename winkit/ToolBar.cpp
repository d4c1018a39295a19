#include "ToolBar.h"

namespace winkit {

void ToolBar::Create(HWND parent, int id, int buttonWidth, int buttonHeight) {
  Control::Create(TOOLBARCLASSNAMEA, parent, id,
                  WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_NORESIZE | CCS_NOPARENTALIGN |
                      CCS_NODIVIDER);
  buttonWidth_ = buttonWidth;
  buttonHeight_ = buttonHeight;
  Send(TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON));
  SetWindowSubclass(hwnd_, &ToolBar::SubclassProc, 0, 0);
}

void ToolBar::AddButton(int command, int image, const std::string &caption,
                        const std::string &hint) {
  const auto text = Send(TB_ADDSTRINGA, 0, reinterpret_cast<LPARAM>((caption + '\0').c_str()));
  TBBUTTON b{};
  b.iBitmap = image;
  b.idCommand = command;
  b.fsState = TBSTATE_ENABLED;
  b.fsStyle = BTNS_BUTTON;
  b.iString = text;
  Send(TB_ADDBUTTONSA, 1, reinterpret_cast<LPARAM>(&b));
  hints_[command] = hint;
  // Captions change the natural size; keep the buttons at their fixed size.
  SetButtonSize(buttonWidth_, buttonHeight_);
}

void ToolBar::AddGap(int width) {
  TBBUTTON b{};
  b.iBitmap = width; // a separator's width
  b.fsStyle = BTNS_SEP;
  Send(TB_ADDBUTTONSA, 1, reinterpret_cast<LPARAM>(&b));
}

TBBUTTON ToolBar::Button(int index) const {
  TBBUTTON b{};
  Send(TB_GETBUTTON, index, reinterpret_cast<LPARAM>(&b));
  return b;
}

RECT ToolBar::ButtonRect(int index) const {
  RECT rc{};
  Send(TB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&rc));
  return rc;
}

std::string ToolBar::Hint(int command) const {
  auto it = hints_.find(command);
  return it == hints_.end() ? std::string() : it->second;
}

bool ToolBar::HandleNotify(LPARAM lp) {
  auto *hdr = reinterpret_cast<NMHDR *>(lp);
  if (hdr->code != TTN_GETDISPINFOA)
    return false;
  auto it = hints_.find(static_cast<int>(hdr->idFrom));
  if (it == hints_.end())
    return false;
  auto *info = reinterpret_cast<NMTTDISPINFOA *>(lp);
  info->lpszText = const_cast<char *>(it->second.c_str());
  return true;
}

LRESULT CALLBACK ToolBar::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                       DWORD_PTR) {
  if (msg == WM_SETCURSOR && LOWORD(lp) == HTCLIENT) {
    POINT pt{};
    GetCursorPos(&pt);
    ScreenToClient(hwnd, &pt);
    const auto index = SendMessageA(hwnd, TB_HITTEST, 0, reinterpret_cast<LPARAM>(&pt));
    TBBUTTON b{};
    if (index >= 0 && SendMessageA(hwnd, TB_GETBUTTON, index, reinterpret_cast<LPARAM>(&b)) &&
        !(b.fsStyle & BTNS_SEP)) {
      SetCursor(LoadCursorA(nullptr, IDC_HAND));
      return TRUE;
    }
  }
  if (msg == WM_NCDESTROY)
    RemoveWindowSubclass(hwnd, &ToolBar::SubclassProc, 0);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

} // namespace winkit
