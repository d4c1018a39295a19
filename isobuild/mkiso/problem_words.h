#pragma once
// The command-line programs' English words for what a build left out or could not do, and the
// system's own text for its error codes.
#include <cstdint>
#include <string>

#include "build_problem.h"

namespace velmor::mkiso {

// The system's text for one of its error codes (strerror, or FormatMessage on Windows); empty for
// code 0.
std::string SystemText(std::uint32_t Code);

// Why an item is not in the image: "no such file", "too many files for one image (at most 3)",
// "folder cannot be read: Permission denied".
std::string LeftOutWords(const LeftOutItem &Item);
// One line of standard error for it, after the program's name: "PATH: why, left out" (a reached
// limit is not one item left out, but the end of the gathering).
std::string LeftOutLine(const LeftOutItem &Item);

// What ended a write, naming its path: "PATH: cannot be opened: No such file or directory".
std::string FailureWords(const WriteFailure &Failure);
// Whether the failure is the image file's rather than a source's.
inline bool BlamesTheImage(const WriteFailure &Failure) {
  return Failure.Kind == WriteFailureKind::kImageUncreatable ||
         Failure.Kind == WriteFailureKind::kImageUnwritable;
}

} // namespace velmor::mkiso
