#pragma once
// A plain panel that holds controls: it passes their notifications on to its own parent, so the
// window that owns the panel handles its buttons as if they were its own.
#include "Window.h"

namespace winkit {

class Panel : public Window {
public:
  void Create(HWND parent, int id);
  void Move(int x, int y, int w, int h) { MoveWindow(Handle(), x, y, w, h, TRUE); }
  // The panel with every control on it, so that they also look disabled.
  void Enable(bool enabled);

protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;
};

} // namespace winkit
