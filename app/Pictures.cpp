#include "Pictures.h"

#include "winkit/PaintedImages.h"

namespace velmor {
namespace {

using winkit::PaintShape;

void PaintDisc(HDC dc, int size) {
  const int m = size / 16;
  PaintShape(dc, RGB(96, 96, 112), RGB(200, 210, 230),
             [&](HDC d) { Ellipse(d, m, m, size - m, size - m); });
  PaintShape(dc, RGB(150, 170, 210), RGB(170, 200, 250),
             [&](HDC d) { Ellipse(d, size / 4, size / 4, size - size / 4, size - size / 4); });
  const int hole = size / 8;
  PaintShape(dc, RGB(96, 96, 112), winkit::kTransparent, [&](HDC d) {
    Ellipse(d, size / 2 - hole, size / 2 - hole, size / 2 + hole, size / 2 + hole);
  });
}

void PaintComputer(HDC dc, int size) {
  PaintShape(dc, RGB(64, 64, 64), RGB(90, 140, 200),
             [&](HDC d) { Rectangle(d, 1, 1, size - 1, 11); });
  PaintShape(dc, RGB(64, 64, 64), RGB(192, 192, 192),
             [&](HDC d) { Rectangle(d, 3, 12, size - 3, size - 1); });
}

} // namespace

HIMAGELIST MakeDriveTreeImages() {
  return winkit::MakePaintedImages(16, {PaintComputer, PaintDisc});
}
HIMAGELIST MakeImageFileImages() { return winkit::MakePaintedImages(32, {PaintDisc}); }

} // namespace velmor
