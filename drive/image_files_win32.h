// The image readers' files on Win32: wide names, any length, shared with other readers and
// writers.
#pragma once

#include "disc_image.h"

namespace velmor {

// The process's one instance (it holds no state).
formats::ImageFiles &Win32ImageFiles();

} // namespace velmor
