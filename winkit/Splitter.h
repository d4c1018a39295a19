#pragma once
// A vertical bar the user drags to share the width between two panes.
#include "Window.h"

#include <functional>

namespace winkit {

class Splitter : public Window {
public:
  // `onDrag` receives the wanted x of the bar's left edge in the parent's client area.
  void Create(HWND parent, int id, std::function<void(int)> onDrag);

protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  std::function<void(int)> onDrag_;
  int grabX_ = 0;
};

} // namespace winkit
