// Text descriptors (cue sheets, CloneCD control files): read whole, as lines, with the small
// word helpers both readers use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disc_image.h"

namespace velmor::formats {

struct DescriptorText {
  std::vector<std::string> lines; // without their line ends; lines[0] is line 1
  bool utf8 = false; // the file began with a UTF-8 byte-order mark (not kept), or was UTF-16
};

// False when the file cannot be read, is larger than any descriptor, or holds a zero byte (it
// is not text) and is no UTF-16 text with a byte-order mark, which is read as UTF-8. A
// multi-gigabyte image is refused by its size alone, without a read.
bool ReadDescriptorText(ImageFiles &files, const std::u16string &path, DescriptorText *text);

// The same, as the error that names the descriptor unreadable.
FormatError ReadDescriptorOrFail(ImageFiles &files, const std::u16string &path,
                                 DescriptorText *text);

// The line without spaces, tabs and a trailing CR at either end.
std::string Trim(const std::string &line);
// ASCII comparison without regard to case.
bool SameWord(const std::string &a, const char *b);
// A decimal number, or hexadecimal after "0x", with an optional '-'; false for anything else
// or a value past +-2^40.
bool ParseNumber(const std::string &text, int64_t *value);

} // namespace velmor::formats
