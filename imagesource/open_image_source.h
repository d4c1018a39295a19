// Opens an image that is served from user mode, by its content: the one place that knows which
// reader takes which image.
#pragma once

#include "image_source.h"

namespace velmor::imagesource {

// A source over `file`, or null with `problem` set when no reader takes the image or the
// reader finds it broken.
std::unique_ptr<ImageSource> OpenImageSource(std::unique_ptr<RandomAccessFile> file,
                                             OpenProblem *problem);

} // namespace velmor::imagesource
