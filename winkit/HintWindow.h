#pragma once
// Tooltips ("hints") for whole controls; texts may hold "\r\n" line breaks.
#include <windows.h>

#include <string>

namespace winkit {

class HintWindow {
public:
  void Create(HWND owner);
  void Add(HWND control, const std::string &text);
  std::string Text(HWND control) const;
  HWND Handle() const { return hwnd_; }

private:
  HWND hwnd_ = nullptr; // destroyed with its owner
  HWND owner_ = nullptr;
};

} // namespace winkit
