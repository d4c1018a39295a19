#pragma once
// Controls with little behaviour of their own: status bar and animation.
#include "Control.h"

#include <commctrl.h>

namespace winkit {

class StatusBar : public Control {
public:
  // The parent positions it; the bar does not align itself.
  void Create(HWND parent, int id) {
    Control::Create(STATUSCLASSNAMEA, parent, id,
                    WS_VISIBLE | CCS_NORESIZE | CCS_NOPARENTALIGN | SBARS_SIZEGRIP);
  }
};

// Plays AVI resources of the executable on the control's own timer.
class Animation : public Control {
public:
  void Create(HWND parent, int id, DWORD style) {
    Control::Create(ANIMATE_CLASSA, parent, id, style | ACS_TIMER);
  }
  bool Open(const char *resourceName) {
    return Send(ACM_OPENA, reinterpret_cast<WPARAM>(GetModuleHandleA(nullptr)),
                reinterpret_cast<LPARAM>(resourceName)) != 0;
  }
  // Plays frames first..last `repeat` times.
  bool Play(int repeat, int first, int last) {
    return Send(ACM_PLAY, repeat, MAKELONG(first, last)) != 0;
  }
  void Stop() { Send(ACM_STOP); }
};

} // namespace winkit
