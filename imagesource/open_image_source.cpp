#include "open_image_source.h"

namespace velmor::imagesource {

std::unique_ptr<ImageSource> OpenImageSource(std::unique_ptr<RandomAccessFile> file,
                                             OpenProblem *problem) {
  (void)file;
  problem->text = "not an image served from user mode";
  return nullptr;
}

} // namespace velmor::imagesource
