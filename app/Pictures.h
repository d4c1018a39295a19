#pragma once
// The pictures of the drive tree and the image list, drawn at start-up.
#include <windows.h>

#include <commctrl.h>

namespace velmor {

// 16 x 16: 0 = the root (a computer), 1 = a virtual drive (a disc).
HIMAGELIST MakeDriveTreeImages();
// 32 x 32: 0 = an image file (a disc).
HIMAGELIST MakeImageFileImages();

} // namespace velmor
