// The image files our drives read now, so that nothing is written over one of them: the
// ripper, the image-from-files window and velmor-mkiso look here before they open a file for
// writing. Files are told apart by identity (the volume's serial number and the file's ID), not
// by name, so another spelling, a short name, a "\\?\" path or a hard link of an image is
// still that image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmor {

struct FileId {
  std::uint64_t volume = 0, file = 0;
  bool operator==(const FileId &o) const { return volume == o.volume && file == o.file; }
};

struct ServedImage {
  char letter = 0;  // the drive that reads it; 0 for none
  std::string path; // as the drive table names it
  FileId id;
};

// Where the images come from: the system (SystemServedImages), or a test's own.
class ServedImages {
public:
  virtual ~ServedImages() = default;
  // Every file a drive of ours reads now; files that cannot be opened are left out.
  virtual std::vector<ServedImage> List() = 0;
  // The identity of the file at `path`; false when nothing is there.
  virtual bool Identify(const std::string &path, FileId &id) = 0;
};

// The drives in the registry's drive table whose letters our devices hold: each one's recorded
// path and, for a drive with a layout record, every file the record names.
ServedImages &SystemServedImages();

struct ServedTarget {
  std::string path;  // the one of the paths asked about
  ServedImage image; // image.letter is 0 when no path is an image of ours
};
// The first of `paths` that is an image one of our drives reads.
ServedTarget FirstServed(ServedImages &images, const std::vector<std::string> &paths);

} // namespace velmor
