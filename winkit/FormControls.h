#pragma once
// The plain controls of a form: label, edit box, push button and check box.
#include "Control.h"

namespace winkit {

class Label : public Control {
public:
  void Create(HWND parent, int id, const std::string &text, DWORD style = 0) {
    Control::Create("STATIC", parent, id, WS_VISIBLE | SS_LEFT | style, 0, text.c_str());
  }
};

class Edit : public Control {
public:
  void Create(HWND parent, int id) {
    Control::Create("EDIT", parent, id, WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE);
  }
};

class Button : public Control {
public:
  // Pressing it sends WM_COMMAND (BN_CLICKED, id) to the parent.
  void Create(HWND parent, int id, const std::string &caption) {
    Control::Create("BUTTON", parent, id, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
                    caption.c_str());
  }
  void Click() { Send(BM_CLICK); }
};

class CheckBox : public Control {
public:
  void Create(HWND parent, int id, const std::string &caption) {
    Control::Create("BUTTON", parent, id, WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0,
                    caption.c_str());
  }
  bool Checked() const { return Send(BM_GETCHECK) == BST_CHECKED; }
  void SetChecked(bool checked) { Send(BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED); }
};

} // namespace winkit
