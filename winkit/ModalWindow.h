#pragma once
// A top-level window shown modally: its owner is disabled and a nested message loop runs
// until the window closes. The object outlives the showing; the caller destroys it.
#include "Window.h"

namespace winkit {

class ModalWindow : public Window {
public:
  // Shows the window with the focus on its first control and returns the result set by Close
  // (0 when closed by its caption button).
  int ShowModal();
  void Close(int result = 0);
  bool Showing() const { return showing_; }

protected:
  // Closing (the caption button, Esc) ends the showing.
  void OnCloseRequest() override;
  void OnEscape() override;

private:
  bool showing_ = false;
  int result_ = 0;
};

} // namespace winkit
