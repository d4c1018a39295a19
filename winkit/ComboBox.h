#pragma once
// Drop-down list of fixed entries. A key-press handler sees every typed character first and
// may discard it by setting it to 0.
#include "Control.h"

#include <functional>

namespace winkit {

class ComboBox : public Control {
public:
  // The height given to Move includes the open list.
  void Create(HWND parent, int id);
  void Clear() { Send(CB_RESETCONTENT); }
  int Add(const std::string &text);
  int Count() const { return static_cast<int>(Send(CB_GETCOUNT)); }
  std::string Item(int index) const;
  void Select(int index) { Send(CB_SETCURSEL, index); }
  int Selected() const { return static_cast<int>(Send(CB_GETCURSEL)); }
  void OnKeyPress(std::function<void(char &)> handler) { keyPress_ = std::move(handler); }

private:
  static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  std::function<void(char &)> keyPress_;
};

} // namespace winkit
