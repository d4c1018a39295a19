#pragma once
// IsoFile.ini: the image list between runs. Plain text in the ANSI code page, one image path
// per line, every line ending in CR LF. The bytes of a row are kept as they are, never
// converted, whatever the window can show of them.
#include <string>
#include <string_view>
#include <vector>

namespace velmor {

// Lines end at CR LF, a lone CR or a lone LF; an empty line is an empty entry.
std::vector<std::string> ParseImageList(std::string_view text);
// Every entry, the last included, followed by CR LF.
std::string FormatImageList(const std::vector<std::string> &entries);

// The rows of a list file's bytes. A file that starts with a UTF-16 (either order) or UTF-8
// byte-order mark is converted to the ANSI code page. Such a file, and one holding NUL bytes,
// is not what the list would be saved as: `exact` is then false.
struct DecodedImageList {
  std::vector<std::string> rows;
  bool exact = true;
};
DecodedImageList DecodeImageList(std::string_view bytes);

// The rows to save when another copy of the program may have saved the file since it was
// loaded: every row another copy added is kept (after ours, in its order), and a row another
// copy removed is removed from ours, counting each path as often as it occurs.
std::vector<std::string> MergeImageLists(const std::vector<std::string> &loaded,
                                         const std::vector<std::string> &onDisk,
                                         const std::vector<std::string> &ours);

// Reads and writes the list file. Failures throw std::runtime_error with a text for the user.
class ImageListStore {
public:
  explicit ImageListStore(std::string path) : path_(std::move(path)) {}
  virtual ~ImageListStore() = default;

  struct Loaded {
    std::vector<std::string> rows;
    bool exists = false; // false: no file, the list starts empty
    // For the user: a file that could not be read was moved aside, and where to.
    std::string notice;
  };
  // A file that cannot be read is moved aside under a new name (`Path()` + ".unreadable",
  // never replacing an earlier one) and the list starts empty; throws when even that fails.
  virtual Loaded Load();
  // Saves `rows` merged with what another copy saved since the load (MergeImageLists). A file
  // that was converted on loading is first moved aside (`Path()` + ".original").
  virtual void Save(const std::vector<std::string> &rows);

  const std::string &Path() const { return path_; }

private:
  std::string path_;
  std::vector<std::string> loaded_; // the rows on disk as last read or written
  bool keepOriginal_ = false;       // the file on disk is not the rows' own bytes
};

} // namespace velmor
