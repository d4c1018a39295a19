#include "WorkWindow.h"

#include "Dialogs.h"

namespace winkit {

void WorkWindow::OnCloseRequest() {
  if (Working())
    AbandonWork();
  else
    Close(0);
}

// A stray Esc must not throw away minutes of work: it asks, and the work may have ended while
// the question was open.
void WorkWindow::OnEscape() {
  if (!Working())
    return Close(0);
  if (Dialogs().MessageBox(Handle(), "要放弃压制吗?", Text(), kAskFlags) == IDYES && Working())
    AbandonWork();
}

void WorkWindow::KeysFollowWork(bool working) {
  if (working)
    SetFocus(Handle());
  else
    FocusFirstControl();
}

void WorkWindow::Say(const std::string &text) {
  Dialogs().MessageBox(Handle(), text, Text(), kInfoFlags);
}

void WorkWindow::ResetProgress(Gauge &gauge, Label &label) {
  gauge.SetValue(0);
  label.SetText(kIdleProgress);
}

} // namespace winkit
