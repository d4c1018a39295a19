#pragma once
// Image lists of small pictures drawn in code, so that no bitmap files are needed.
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <initializer_list>

namespace winkit {

// The background colour, which the list shows as transparent; a shape filled with it is a hole.
constexpr COLORREF kTransparent = RGB(255, 0, 255);

// Paints one size x size picture; the background is already transparent.
using PicturePainter = void (*)(HDC dc, int size);

// A list of size x size pictures, one for each painter, in order.
HIMAGELIST MakePaintedImages(int size, std::initializer_list<PicturePainter> painters);

// Draws with a one-pixel pen and a solid brush of the given colours selected.
void PaintShape(HDC dc, COLORREF pen, COLORREF fill, const std::function<void(HDC)> &draw);

} // namespace winkit
