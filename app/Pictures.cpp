#include "Pictures.h"

#include "winkit/Handle.h"

#include <functional>

namespace velmor {
namespace {

constexpr COLORREF kTransparent = RGB(255, 0, 255);

// Draws one picture on a transparent background and appends it to `list`.
void AddPicture(HIMAGELIST list, int size, const std::function<void(HDC, int)> &paint) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  winkit::BitmapHandle bmp(CreateCompatibleBitmap(screen, size, size));
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bmp.get());
  RECT all{0, 0, size, size};
  winkit::Owned<HBRUSH, winkit::GdiDeleter> back(CreateSolidBrush(kTransparent));
  FillRect(dc, &all, back.get());
  paint(dc, size);
  SelectObject(dc, old);
  DeleteDC(dc);
  ImageList_AddMasked(list, bmp.get(), kTransparent);
}

void Shape(HDC dc, COLORREF pen, COLORREF fill, const std::function<void(HDC)> &draw) {
  winkit::Owned<HPEN, winkit::GdiDeleter> p(CreatePen(PS_SOLID, 1, pen));
  winkit::Owned<HBRUSH, winkit::GdiDeleter> b(CreateSolidBrush(fill));
  HGDIOBJ oldPen = SelectObject(dc, p.get());
  HGDIOBJ oldBrush = SelectObject(dc, b.get());
  draw(dc);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
}

void PaintDisc(HDC dc, int size) {
  const int m = size / 16;
  Shape(dc, RGB(96, 96, 112), RGB(200, 210, 230),
        [&](HDC d) { Ellipse(d, m, m, size - m, size - m); });
  Shape(dc, RGB(150, 170, 210), RGB(170, 200, 250),
        [&](HDC d) { Ellipse(d, size / 4, size / 4, size - size / 4, size - size / 4); });
  const int hole = size / 8;
  Shape(dc, RGB(96, 96, 112), kTransparent, [&](HDC d) {
    Ellipse(d, size / 2 - hole, size / 2 - hole, size / 2 + hole, size / 2 + hole);
  });
}

void PaintComputer(HDC dc, int size) {
  Shape(dc, RGB(64, 64, 64), RGB(90, 140, 200), [&](HDC d) { Rectangle(d, 1, 1, size - 1, 11); });
  Shape(dc, RGB(64, 64, 64), RGB(192, 192, 192),
        [&](HDC d) { Rectangle(d, 3, 12, size - 3, size - 1); });
}

HIMAGELIST MakeList(int size, std::initializer_list<void (*)(HDC, int)> painters) {
  HIMAGELIST list = ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, 2, 0);
  for (auto paint : painters)
    AddPicture(list, size, paint);
  return list;
}

} // namespace

HIMAGELIST MakeDriveTreeImages() { return MakeList(16, {PaintComputer, PaintDisc}); }
HIMAGELIST MakeImageFileImages() { return MakeList(32, {PaintDisc}); }

} // namespace velmor
