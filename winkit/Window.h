#pragma once
// Base of our own window classes: owns its HWND, routes messages to a virtual handler and
// reports any exception a handler lets escape through the application's error report.
#include "Handle.h"

#include <windows.h>

#include <functional>
#include <map>
#include <string>

namespace winkit {

class Window {
public:
  Window() = default;
  virtual ~Window();
  Window(const Window &) = delete;
  Window &operator=(const Window &) = delete;

  HWND Handle() const { return hwnd_; }
  void SetText(const std::string &text) { SetWindowTextA(hwnd_, text.c_str()); }
  std::string Text() const;
  void Show(int how = SW_SHOW) { ShowWindow(hwnd_, how); }
  bool Visible() const { return IsWindowVisible(hwnd_) != FALSE; }
  void Destroy();
  SIZE ClientSize() const;

  // Calls `fn` every `ms` milliseconds until StopTimer(id) or the window's end.
  void StartTimer(UINT_PTR id, UINT ms, std::function<void()> fn);
  void StopTimer(UINT_PTR id);

  // The keyboard of a form: the message loops let the system's dialog navigation see this
  // window's keys (Tab and Shift+Tab between the controls marked WS_TABSTOP, in creation order,
  // also inside child panels; Enter presses the default button; Esc becomes OnEscape), and
  // the focus comes back to the control that had it when the window is activated again.
  void UseDialogKeys();
  // The button Enter presses (by its id; 0 for none). It is drawn as the default button.
  void SetDefaultButton(int id);
  // Puts the focus on the first control of the tab order.
  void FocusFirstControl();
  // Keys that run commands wherever the focus is in this window (a menu's shortcuts): each
  // arrives as OnCommand(cmd, 1). Checked before the dialog navigation.
  void UseAccelerators(const ACCEL *keys, int count);
  // True when `msg` is a key of a window that uses accelerators or dialog keys and one of them
  // took it.
  static bool TakeDialogKey(MSG &msg);

protected:
  // Registers `className` once and creates a top-level window whose client area (below
  // its menu bar, if `menu` is given; the window then owns it) is clientWidth x
  // clientHeight, centred on the desktop.
  void CreateTopLevel(const char *className, const std::string &caption, DWORD style,
                      int clientWidth, int clientHeight, HWND owner = nullptr,
                      HMENU menu = nullptr);
  // Creates a child window of our own class.
  void CreateChild(const char *className, HWND parent, DWORD style, int id, HCURSOR cursor);

  // Unpacks WM_COMMAND, WM_NOTIFY and WM_CLOSE into the typed hooks below; everything else
  // gets the default answer.
  virtual LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  // A command of a control (its id and notification code), a menu item or an accelerator
  // (code 0 or 1). Returns true when handled.
  virtual bool OnCommand(int id, int code);
  // A notification of a control. Returns true when handled (the answer is then 0).
  virtual bool OnNotify(const NMHDR &hdr);
  // The caption's close button, Alt+F4 or WM_CLOSE: by default the window is destroyed.
  virtual void OnCloseRequest();
  // Esc in a window that uses dialog keys: by default nothing.
  virtual void OnEscape() {}
  LRESULT Default(UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcA(hwnd_, msg, wp, lp); }

private:
  static void Register(const char *className, HCURSOR cursor);
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  HWND hwnd_ = nullptr;
  std::map<UINT_PTR, std::function<void()>> timers_;
  int defaultButton_ = 0;
  HWND lastFocus_ = nullptr; // the control that had the focus when the window was deactivated
  AcceleratorHandle accelerators_;
};

} // namespace winkit
