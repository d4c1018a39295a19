#include "disc_image.h"

namespace velmor::formats {

FormatError MakeLayoutRecord(const DiscLayout &, char16_t, LayoutRecord *) { return {}; }

} // namespace velmor::formats
