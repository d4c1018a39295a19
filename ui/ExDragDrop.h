#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmor {
class TExDragDrop;
using TDroppedEvent = std::function<void(TExDragDrop *Sender, std::int32_t ItemsCount)>;
class TExDragDrop {
public:
  TExDragDrop() = default;
  ~TExDragDrop() { SetControl(nullptr); }
  TExDragDrop(const TExDragDrop &) = delete;
  TExDragDrop &operator=(const TExDragDrop &) = delete;
  const std::vector<std::string> &Items() const { return items_; }
  HWND Control() const { return control_; }
  void SetControl(HWND control);
  TDroppedEvent OnDropped;

private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  std::vector<std::string> items_;
  HWND control_ = nullptr;
};
} // namespace velmor
