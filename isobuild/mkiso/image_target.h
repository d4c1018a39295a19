#pragma once
// Where velmor-mkiso puts the image. A file is replaced only by a finished image: the image is
// written to a temporary file beside it and renamed over it at the end, so that a failed or
// interrupted build leaves the earlier file as it was. A device or a pipe is written to as a
// stream and never removed; "-" is the standard output.
#include <string>

namespace velmor::mkiso {

class ImageTarget {
public:
  enum class Kind { File, Stream, StandardOutput };

  ImageTarget() = default;
  ImageTarget(const ImageTarget &) = delete;
  ImageTarget &operator=(const ImageTarget &) = delete;
  // Removes a temporary file that was not committed.
  ~ImageTarget() { Discard(); }

  // Looks at the -o argument and, for a file, makes the temporary file beside it. False, with
  // the reason, when no image can go there (a folder, a folder that cannot take files, a
  // terminal).
  bool Open(const std::string &Argument, std::string &Error);
  Kind GetKind() const { return kind_; }
  // The path the image is written to: the temporary file, the stream's path, or "-".
  const std::string &WritePath() const { return kind_ == Kind::File ? temporary_ : target_; }
  // Puts the temporary file in place of the target.
  bool Commit(std::string &Error);
  // Removes the temporary file, if there is one.
  void Discard();

private:
  Kind kind_ = Kind::File;
  std::string target_;
  std::string temporary_;
  unsigned mode_ = 0; // POSIX permissions of the finished file
};

} // namespace velmor::mkiso
