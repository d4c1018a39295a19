#include "ExDragDrop.h"

#include <commctrl.h>
#include <shellapi.h>

namespace velmor {
void TExDragDrop::SetControl(HWND control) {
  if (control == control_)
    return;
  if (control_)
    RemoveWindowSubclass(control_, &Proc, reinterpret_cast<UINT_PTR>(this));
  control_ = control;
  if (control_) {
    SetWindowSubclass(control_, &Proc, reinterpret_cast<UINT_PTR>(this),
                      reinterpret_cast<DWORD_PTR>(this));
    DragAcceptFiles(control_, TRUE);
  }
}
LRESULT CALLBACK TExDragDrop::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                   DWORD_PTR data) {
  auto *self = reinterpret_cast<TExDragDrop *>(data);
  if (msg != WM_DROPFILES)
    return DefSubclassProc(hwnd, msg, wp, lp);
  HDROP drop = reinterpret_cast<HDROP>(wp);
  self->items_.clear();
  const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    char name[2048] = {};
    DragQueryFileA(drop, i, name, sizeof name);
    self->items_.push_back(name);
  }
  DragFinish(drop);
  if (self->OnDropped)
    self->OnDropped(self, static_cast<std::int32_t>(count));
  return 0;
}
} // namespace velmor
