#include "open_image_source.h"

#include <algorithm>

#include "chd/chd_image.h"

namespace velmor::imagesource {

std::unique_ptr<ImageSource> OpenImageSource(std::unique_ptr<RandomAccessFile> file,
                                             OpenProblem *problem) {
  if (!file) {
    problem->text = "the image cannot be opened";
    return nullptr;
  }
  uint8_t first[16] = {};
  const size_t length = size_t(std::min<uint64_t>(file->Size(), sizeof first));
  if (!file->ReadAt(0, first, length)) {
    problem->text = "the image cannot be read";
    return nullptr;
  }
  if (chd::StartsLikeChd(first, length))
    return chd::OpenChdImage(std::move(file), problem);
  problem->text = "not an image served from user mode";
  return nullptr;
}

} // namespace velmor::imagesource
