#include "PaintedImages.h"

#include "Handle.h"

namespace winkit {
namespace {

void AddPicture(HIMAGELIST list, int size, PicturePainter paint) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BitmapHandle bmp(CreateCompatibleBitmap(screen, size, size));
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bmp.get());
  RECT all{0, 0, size, size};
  Owned<HBRUSH, GdiDeleter> back(CreateSolidBrush(kTransparent));
  FillRect(dc, &all, back.get());
  paint(dc, size);
  SelectObject(dc, old);
  DeleteDC(dc);
  ImageList_AddMasked(list, bmp.get(), kTransparent);
}

} // namespace

HIMAGELIST MakePaintedImages(int size, std::initializer_list<PicturePainter> painters) {
  HIMAGELIST list =
      ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, static_cast<int>(painters.size()), 0);
  for (auto paint : painters)
    AddPicture(list, size, paint);
  return list;
}

void PaintShape(HDC dc, COLORREF pen, COLORREF fill, const std::function<void(HDC)> &draw) {
  Owned<HPEN, GdiDeleter> p(CreatePen(PS_SOLID, 1, pen));
  Owned<HBRUSH, GdiDeleter> b(CreateSolidBrush(fill));
  HGDIOBJ oldPen = SelectObject(dc, p.get());
  HGDIOBJ oldBrush = SelectObject(dc, b.get());
  draw(dc);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
}

} // namespace winkit
