#pragma once
// Window fonts by face name, height in pixels and character set.
#include "Handle.h"

namespace winkit {

inline FontHandle MakeFont(const char *face, int height, BYTE charset) {
  return FontHandle(CreateFontA(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE, face));
}

} // namespace winkit
