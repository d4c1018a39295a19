#include "ExDragDrop.h"

#include <commctrl.h>
#include <shellapi.h>

#include <stdexcept>

namespace velmor {
namespace {

// Each dropped name is read into a buffer of this size: paths of up to 2,047 characters.
constexpr UINT kNameBufferSize = 2048;

// The subclass is identified by the component, so several components never replace each
// other's subclass, even on one control.
UINT_PTR SubclassId(const TExDragDrop *component) { return reinterpret_cast<UINT_PTR>(component); }

} // namespace

TExDragDrop::TExDragDrop() = default;

TExDragDrop::~TExDragDrop() { Unbind(); }

void TExDragDrop::SetControl(HWND control) {
  if (control == control_)
    return;
  Unbind();
  if (!control)
    return;
  // The subclass takes only windows of this thread (some versions do not check it themselves).
  if (!IsWindow(control) || GetWindowThreadProcessId(control, nullptr) != GetCurrentThreadId() ||
      !SetWindowSubclass(control, &TExDragDrop::SubclassProc, SubclassId(this),
                         reinterpret_cast<DWORD_PTR>(this)))
    throw std::runtime_error("the drop target cannot take over this control");
  control_ = control;
  DragAcceptFiles(control, TRUE);
}

void TExDragDrop::Unbind() {
  if (!control_)
    return;
  RemoveWindowSubclass(control_, &TExDragDrop::SubclassProc, SubclassId(this));
  control_ = nullptr;
}

void TExDragDrop::HandleDrop(HDROP drop) {
  std::string name(kNameBufferSize, '\0');
  items_.clear();
  const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    const UINT length = DragQueryFileA(drop, i, name.data(), kNameBufferSize);
    items_.emplace_back(name.data(), length < kNameBufferSize ? length : kNameBufferSize - 1);
  }
  DragFinish(drop);
  // A copy: the handler may assign OnDropped again, or destroy the component.
  if (TDroppedEvent handler = OnDropped) {
    try {
      handler(this, static_cast<std::int32_t>(count));
    } catch (...) {
    }
  }
}

LRESULT CALLBACK TExDragDrop::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                           DWORD_PTR data) {
  auto *self = reinterpret_cast<TExDragDrop *>(data);
  if (msg == WM_DROPFILES) {
    self->HandleDrop(reinterpret_cast<HDROP>(wp));
    return 0;
  }
  if (msg == WM_NCDESTROY) {
    // The control goes before the component: forget it, so that nothing touches it later.
    RemoveWindowSubclass(hwnd, &TExDragDrop::SubclassProc, id);
    self->control_ = nullptr;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

} // namespace velmor
