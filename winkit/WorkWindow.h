#pragma once
// A modal window that runs one piece of work at a time (a copy, a build). Closing it during the
// work gives the work up; Esc asks first, then takes the same road; Enter presses the default
// button.
#include "FormControls.h"
#include "Gauge.h"
#include "ModalWindow.h"

#include <string>

namespace winkit {

// The progress label's text before and after the work.
constexpr const char *kIdleProgress = "0/0Mb";

class WorkWindow : public ModalWindow {
public:
  virtual bool Working() const = 0;
  // The window's "放弃压制": ends the work; the window decides whether it stays open.
  virtual void AbandonWork() = 0;

protected:
  void OnCloseRequest() override;
  void OnEscape() override;
  // A message box owned by the window, with its caption and the information icon.
  void Say(const std::string &text);
  // Called when the work starts or ends, after the controls were enabled or disabled. While it
  // runs the window itself holds the focus: its input controls are disabled, Esc must still
  // reach it, and Enter must not press "放弃压制". Afterwards the first control has it again.
  void KeysFollowWork(bool working);
  // The progress row of both windows before and after the work: an empty gauge and "0/0Mb".
  static void ResetProgress(Gauge &gauge, Label &label);
};

} // namespace winkit
