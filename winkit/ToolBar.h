#pragma once
// Flat toolbar of fixed-size buttons with the picture above the caption, a hand cursor over
// the buttons, and a hint per button.
#include "Control.h"

#include <commctrl.h>

#include <map>

namespace winkit {

class ToolBar : public Control {
public:
  void Create(HWND parent, int id, int buttonWidth, int buttonHeight);
  // Pictures come from one of the system's standard bitmaps (IDB_STD_LARGE_COLOR ...).
  void LoadSystemImages(UINT_PTR bitmapId) {
    Send(TB_LOADIMAGES, bitmapId, reinterpret_cast<LPARAM>(HINST_COMMCTRL));
  }
  void AddButton(int command, int image, const std::string &caption, const std::string &hint);
  void AddGap(int width);
  void SetButtonSize(int width, int height) { Send(TB_SETBUTTONSIZE, 0, MAKELONG(width, height)); }

  int ButtonCount() const { return static_cast<int>(Send(TB_BUTTONCOUNT)); }
  TBBUTTON Button(int index) const;
  RECT ButtonRect(int index) const;
  std::string Hint(int command) const;

  // The parent passes its WM_NOTIFY here; true when it was this bar's hint request.
  bool HandleNotify(LPARAM lp);

private:
  static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  std::map<int, std::string> hints_;
  int buttonWidth_ = 0, buttonHeight_ = 0;
};

} // namespace winkit
