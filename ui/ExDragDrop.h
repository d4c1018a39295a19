#pragma once
// A drop target for files and folders dragged from the shell onto one window control.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmor {

class TExDragDrop;
// Called once per drop, inside the bound control's message handling on the GUI thread.
// Handlers report their own errors: an exception leaving one is dropped by the component
// so that it never unwinds through the system's window procedures.
using TDroppedEvent = std::function<void(TExDragDrop *Sender, std::int32_t ItemsCount)>;

// Takes over the messages of the bound control through a subclass of its own (the component is
// the subclass's data), so components bound to different controls, or one after another to the
// same control, never share state. WM_DROPFILES is handled here; every other message goes on to
// the control unchanged.
class TExDragDrop {
public:
  TExDragDrop();
  ~TExDragDrop(); // unbinds
  TExDragDrop(const TExDragDrop &) = delete;
  TExDragDrop &operator=(const TExDragDrop &) = delete;

  // The full paths of the last drop (ANSI code page), in the shell's order.
  const std::vector<std::string> &Items() const { return items_; }
  // The bound control; nullptr while unbound or after the control was destroyed.
  HWND Control() const { return control_; }
  // Binds to `control` (and registers it with the shell as accepting files); nullptr unbinds,
  // putting the control's previous window procedure back. The control keeps accepting files.
  // Setting the control already bound does nothing. Throws when the control cannot be bound
  // (not a window of the calling thread).
  void SetControl(HWND control);

  TDroppedEvent OnDropped;

private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                       DWORD_PTR data);
  void Unbind();
  void HandleDrop(HDROP drop);

  std::vector<std::string> items_;
  HWND control_ = nullptr;
};

} // namespace velmor
