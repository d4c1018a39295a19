#pragma once
// A progress gauge over a 64-bit range that shows its percentage as text in the bar.
#include "Window.h"

#include <cstdint>

namespace winkit {

class Gauge : public Window {
public:
  void Create(HWND parent, int id);
  void Move(int x, int y, int w, int h) { MoveWindow(Handle(), x, y, w, h, TRUE); }
  void SetMax(std::int64_t max);
  void SetValue(std::int64_t value);
  std::int64_t Max() const { return max_; }
  std::int64_t Value() const { return value_; }
  // Whole percent of the range reached, 0 to 100.
  int Percent() const;

protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  void Paint(HDC dc);
  std::int64_t max_ = 100, value_ = 0;
  HFONT font_ = nullptr;
};

} // namespace winkit
