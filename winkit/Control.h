#pragma once
// Child controls of the system's classes. The parent window destroys them; these classes
// only keep the handle and forward to the control's messages.
#include <windows.h>

#include <string>

namespace winkit {

class Control {
public:
  HWND Handle() const { return hwnd_; }
  void Move(int x, int y, int w, int h) { MoveWindow(hwnd_, x, y, w, h, TRUE); }
  void Show(bool visible) { ShowWindow(hwnd_, visible ? SW_SHOW : SW_HIDE); }
  bool Visible() const { return IsWindowVisible(hwnd_) != FALSE; }
  void SetFont(HFONT font) { SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font), 1); }
  int Id() const { return GetDlgCtrlID(hwnd_); }
  void Enable(bool enabled) { EnableWindow(hwnd_, enabled); }
  bool Enabled() const { return IsWindowEnabled(hwnd_) != FALSE; }
  void SetText(const std::string &text) { SetWindowTextA(hwnd_, text.c_str()); }
  std::string Text() const;
  RECT Bounds() const; // in the parent's client coordinates
  SIZE ClientSize() const;

protected:
  void Create(const char *className, HWND parent, int id, DWORD style, DWORD exStyle = 0,
              const char *text = "");
  LRESULT Send(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const {
    return SendMessageA(hwnd_, msg, wp, lp);
  }

  HWND hwnd_ = nullptr;
};

} // namespace winkit
