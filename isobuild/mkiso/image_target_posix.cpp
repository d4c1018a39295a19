#include "image_target.h"
#include "problem_words.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace velmor::mkiso {

bool IdentifyFile(const std::string &Path, FileIdentity &Out) {
  struct stat st {};
  if (stat(Path.c_str(), &st) != 0)
    return false;
  Out = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return true;
}

bool ImageTarget::Open(const std::string &Argument, std::string &Error) {
  if (Argument == "-") {
    if (isatty(STDOUT_FILENO)) {
      Error = "standard output is a terminal";
      return false;
    }
    kind_ = Kind::StandardOutput;
    target_ = Argument;
    return true;
  }
  // A link is replaced through: the file it names gets the image, the link stays.
  target_ = Argument;
  char resolved[PATH_MAX];
  struct stat st {};
  if (lstat(Argument.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
      realpath(Argument.c_str(), resolved))
    target_ = resolved;
  const mode_t mask = umask(0);
  umask(mask);
  mode_ = 0666 & ~mask;
  if (stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      Error = "is a directory";
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      kind_ = Kind::Stream;
      return true;
    }
    mode_ = st.st_mode & 07777;
  }
  kind_ = Kind::File;
  std::string name = target_ + ".tmp-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    Error = SystemText(static_cast<std::uint32_t>(errno));
    return false;
  }
  close(fd);
  temporary_ = name;
  Identify();
  return true;
}

bool ImageTarget::Commit(std::string &Error) {
  if (temporary_.empty())
    return true;
  if (chmod(temporary_.c_str(), mode_) != 0 || rename(temporary_.c_str(), target_.c_str()) != 0) {
    Error = SystemText(static_cast<std::uint32_t>(errno));
    return false;
  }
  temporary_.clear();
  return true;
}

void ImageTarget::Discard() {
  if (!temporary_.empty())
    unlink(temporary_.c_str());
  temporary_.clear();
}

} // namespace velmor::mkiso
