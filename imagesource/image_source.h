// An image served from user mode: the disc as layout tracks over byte streams, and random
// access to those streams. A reader of a compressed or packed format (CHD today) implements it;
// the server hands the tracks to the driver and answers its reads from Read. Portable: no
// platform calls here or in the readers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velmor_layout.h"

namespace velmor::imagesource {

// A file the reader reads from, opened by the caller (with the user's access check, on
// Windows). ReadAt reads exactly `length` bytes or fails.
class RandomAccessFile {
public:
  virtual ~RandomAccessFile() = default;
  virtual uint64_t Size() const = 0;
  virtual bool ReadAt(uint64_t offset, void *out, size_t length) = 0;
};

enum class ReadResult : uint8_t {
  kOk,
  kDataError, // the image's bytes are corrupt there (a hunk failing its check, a broken map)
  kIoError,   // the file could not be read
};

class ImageSource {
public:
  virtual ~ImageSource() = default;
  // The disc: every track's `file` is a stream index below StreamCount(), its offsets into
  // that stream, as a layout record holds them.
  virtual const std::vector<LayoutTrack> &Tracks() const = 0;
  virtual uint32_t StreamCount() const { return 1; }
  virtual uint64_t StreamSize(uint32_t stream) const = 0;
  // Exactly `length` bytes of `stream` at `offset`, or an error: never bytes not checked.
  // One caller at a time.
  virtual ReadResult Read(uint32_t stream, uint64_t offset, void *out, uint32_t length) = 0;
};

// Why an image could not be opened: a sentence for the user, naming the fault.
struct OpenProblem {
  std::string text;
};

} // namespace velmor::imagesource
