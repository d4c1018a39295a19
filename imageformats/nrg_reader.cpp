#include "readers.h"

namespace velmor::formats {

bool IsNeroImage(ImageFiles &, const std::u16string &) { return false; }

FormatError ReadNeroImage(ImageFiles &, const std::u16string &path, DiscLayout *) {
  FormatError e;
  e.reason = FormatError::Reason::kSyntax;
  e.file = path;
  return e;
}

} // namespace velmor::formats
