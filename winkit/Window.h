#pragma once
// Base of our own window classes: owns its HWND, routes messages to a virtual handler and
// reports any exception a handler lets escape through the application's error report.
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

protected:
  // Registers `className` once and creates a top-level window whose client area (below
  // its menu bar, if `menu` is given; the window then owns it) is clientWidth x
  // clientHeight, centred on the desktop.
  void CreateTopLevel(const char *className, const std::string &caption, DWORD style,
                      int clientWidth, int clientHeight, HWND owner = nullptr,
                      HMENU menu = nullptr);
  // Creates a child window of our own class.
  void CreateChild(const char *className, HWND parent, DWORD style, int id, HCURSOR cursor);

  virtual LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Default(UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcA(hwnd_, msg, wp, lp); }

private:
  static void Register(const char *className, HCURSOR cursor);
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  HWND hwnd_ = nullptr;
  std::map<UINT_PTR, std::function<void()>> timers_;
};

} // namespace winkit
