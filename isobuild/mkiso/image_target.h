#pragma once
// Where velmor-mkiso puts the image. A file is replaced only by a finished image: the image is
// written to a temporary file beside it and renamed over it at the end, so that a failed or
// interrupted build leaves the earlier file as it was. A device or a pipe is written to as a
// stream and never removed; "-" is the standard output.
#include <cstdint>
#include <string>

namespace velmor::mkiso {

// What tells one file from another whatever its name: device and inode on POSIX, volume serial
// number and file index on Windows.
struct FileIdentity {
  std::uint64_t Volume = 0, File = 0;
  bool operator==(const FileIdentity &o) const { return Volume == o.Volume && File == o.File; }
};
// False when nothing is at Path.
bool IdentifyFile(const std::string &Path, FileIdentity &Out);

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
  // Whether the file at Path is the target or the temporary file: the same file, not only the
  // same name.
  bool IsOwnFile(const std::string &Path) const;
  // Whether Path is the file the image is to replace, by whatever name.
  bool IsTarget(const std::string &Path) const;

private:
  Kind kind_ = Kind::File;
  std::string target_;
  std::string temporary_;
  unsigned mode_ = 0; // POSIX permissions of the finished file
  FileIdentity targetId_, temporaryId_;
  bool targetExists_ = false;
  std::string targetName_, temporaryName_; // the last parts of their paths, in lower case
  // Takes the identities and names of the target and the temporary file, once both are there.
  void Identify();
};

} // namespace velmor::mkiso
