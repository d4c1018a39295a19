#include "Gauge.h"

#include <algorithm>
#include <string>

namespace winkit {

void Gauge::Create(HWND parent, int id) {
  CreateChild("WinkitGauge", parent, WS_VISIBLE, id, nullptr);
}

void Gauge::SetMax(std::int64_t max) {
  max_ = max;
  InvalidateRect(Handle(), nullptr, FALSE);
}

void Gauge::SetValue(std::int64_t value) {
  value_ = value;
  InvalidateRect(Handle(), nullptr, FALSE);
}

int Gauge::Percent() const {
  if (max_ <= 0 || value_ <= 0)
    return 0;
  // Divide first where value * 100 could overflow.
  const std::int64_t percent =
      value_ < INT64_MAX / 100 ? value_ * 100 / max_ : value_ / (max_ / 100 + 1);
  return static_cast<int>(std::min<std::int64_t>(percent, 100));
}

void Gauge::Paint(HDC dc) {
  RECT rc{};
  GetClientRect(Handle(), &rc);
  DrawEdge(dc, &rc, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
  const int percent = Percent();
  RECT done = rc, rest = rc;
  done.right = rest.left = rc.left + (rc.right - rc.left) * percent / 100;
  FillRect(dc, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
  FillRect(dc, &rest, GetSysColorBrush(COLOR_WINDOW));

  const std::string text = std::to_string(percent) + "%";
  const HGDIOBJ oldFont = font_ ? SelectObject(dc, font_) : nullptr;
  SetBkMode(dc, TRANSPARENT);
  // The text changes colour where the bar passes under it.
  for (const auto &[part, colour] :
       {std::pair{done, COLOR_HIGHLIGHTTEXT}, std::pair{rest, COLOR_WINDOWTEXT}}) {
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, part.left, part.top, part.right, part.bottom);
    SetTextColor(dc, GetSysColor(colour));
    RECT box = rc;
    DrawTextA(dc, text.c_str(), -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    RestoreDC(dc, saved);
  }
  if (oldFont)
    SelectObject(dc, oldFont);
}

LRESULT Gauge::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_PAINT: {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(Handle(), &ps);
    Paint(dc);
    EndPaint(Handle(), &ps);
    return 0;
  }
  case WM_ERASEBKGND:
    return 1;
  case WM_SETFONT:
    font_ = reinterpret_cast<HFONT>(wp);
    if (LOWORD(lp))
      InvalidateRect(Handle(), nullptr, FALSE);
    return 0;
  case WM_GETFONT:
    return reinterpret_cast<LRESULT>(font_);
  }
  return Window::HandleMessage(msg, wp, lp);
}

} // namespace winkit
