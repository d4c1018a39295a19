#pragma once
// IsoFile.ini: the image list between runs. Plain text in the ANSI code page, one image path
// per line, every line ending in CR LF. Bytes are kept as they are, never converted.
#include <string>
#include <string_view>
#include <vector>

namespace velmor {

// Lines end at CR LF, a lone CR or a lone LF; an empty line is an empty entry.
std::vector<std::string> ParseImageList(std::string_view text);
// Every entry, the last included, followed by CR LF.
std::string FormatImageList(const std::vector<std::string> &entries);

// Reads and writes the list file. Failures other than a missing file throw
// std::runtime_error with a text for the user.
class ImageListStore {
public:
  explicit ImageListStore(std::string path) : path_(std::move(path)) {}
  virtual ~ImageListStore() = default;

  // False when the file does not exist; the entries are then left empty.
  virtual bool Load(std::vector<std::string> &entries);
  // Replaces the whole file.
  virtual void Save(const std::vector<std::string> &entries);

  const std::string &Path() const { return path_; }

private:
  std::string path_;
};

} // namespace velmor
