#include "readers.h"

namespace velmor::formats {

DetectedImage DetectImage(ImageFiles &, const std::u16string &) { return {}; }

} // namespace velmor::formats
