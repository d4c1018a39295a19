// The parts of ImageTarget that do not depend on the system.
#include "image_target.h"

#include <algorithm>
#include <cctype>

namespace velmor::mkiso {

namespace {

// The last part of a path in lower case (ASCII letters only: the bytes of a double-byte
// character never change).
std::string LastPart(const std::string &path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return name;
}

} // namespace

void ImageTarget::Identify() {
  targetExists_ = kind_ == Kind::File && IdentifyFile(target_, targetId_);
  targetName_ = LastPart(target_);
  temporaryName_ = LastPart(temporary_);
  if (temporary_.empty() || !IdentifyFile(temporary_, temporaryId_))
    temporaryName_.clear();
}

bool ImageTarget::IsOwnFile(const std::string &Path) const {
  if (kind_ != Kind::File)
    return false;
  // The name as listed, from the path: the name the hook is given has a "." added where it
  // had none.
  const std::string name = LastPart(Path);
  const bool maybeTarget = targetExists_ && name == targetName_;
  const bool maybeTemporary = !temporaryName_.empty() && name == temporaryName_;
  FileIdentity id;
  if (!(maybeTarget || maybeTemporary) || !IdentifyFile(Path, id))
    return false;
  return (maybeTarget && id == targetId_) || (maybeTemporary && id == temporaryId_);
}

bool ImageTarget::IsTarget(const std::string &Path) const {
  FileIdentity id;
  return targetExists_ && IdentifyFile(Path, id) && id == targetId_;
}

} // namespace velmor::mkiso
