#pragma once
// Menus built in code: a menu bar and pop-up menus shown at the cursor.
#include "Handle.h"

#include <string>

namespace winkit {

class Menu {
public:
  static Menu Bar() { return Menu(CreateMenu()); }
  static Menu Popup() { return Menu(CreatePopupMenu()); }

  Menu &Item(int command, const std::string &text) {
    AppendMenuA(menu_.get(), MF_STRING, command, text.c_str());
    return *this;
  }
  Menu &Separator() {
    AppendMenuA(menu_.get(), MF_SEPARATOR, 0, nullptr);
    return *this;
  }
  // Moves `sub` into this menu; it is destroyed with this one.
  Menu &Sub(const std::string &text, Menu &&sub) {
    AppendMenuA(menu_.get(), MF_POPUP, reinterpret_cast<UINT_PTR>(sub.menu_.release()),
                text.c_str());
    return *this;
  }
  // Hands the menu to a window being created, which destroys it with itself.
  HMENU Release() { return menu_.release(); }
  // Shows a pop-up menu at screen point (x, y); the chosen command arrives as WM_COMMAND.
  void Track(HWND owner, int x, int y) const {
    TrackPopupMenu(menu_.get(), TPM_LEFTALIGN | TPM_RIGHTBUTTON, x, y, 0, owner, nullptr);
  }
  HMENU Handle() const { return menu_.get(); }

private:
  explicit Menu(HMENU m) : menu_(m) {}
  MenuHandle menu_;
};

} // namespace winkit
