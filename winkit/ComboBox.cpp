#include "ComboBox.h"

#include <commctrl.h>

namespace winkit {

void ComboBox::Create(HWND parent, int id) {
  Control::Create("COMBOBOX", parent, id, WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST);
  SetWindowSubclass(hwnd_, &ComboBox::SubclassProc, 0, reinterpret_cast<DWORD_PTR>(this));
}

int ComboBox::Add(const std::string &text) {
  return static_cast<int>(Send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

std::string ComboBox::Item(int index) const {
  const LRESULT length = Send(CB_GETLBTEXTLEN, index);
  if (length < 0)
    return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  text.resize(
      static_cast<size_t>(Send(CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

LRESULT CALLBACK ComboBox::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                        DWORD_PTR data) {
  auto *self = reinterpret_cast<ComboBox *>(data);
  if (msg == WM_CHAR && self->keyPress_) {
    char key = static_cast<char>(wp);
    self->keyPress_(key);
    if (key == 0)
      return 0;
    wp = static_cast<unsigned char>(key);
  } else if (msg == WM_NCDESTROY) {
    RemoveWindowSubclass(hwnd, &ComboBox::SubclassProc, 0);
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

} // namespace winkit
