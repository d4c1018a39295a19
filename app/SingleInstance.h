#pragma once
// One running program: a second start hands its images to the first one's main window instead
// of opening a window of its own.
#include "winkit/Handle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace velmor {

// The tag of the WM_COPYDATA block that carries images to a running program: their full paths,
// each ended by a zero byte.
constexpr ULONG_PTR kOpenImagesTag = 0x564C4D52; // "VLMR"

// The image paths given on the command line, made full against the starting folder (the running
// program has another).
std::vector<std::string> CommandLineImages();

std::string PackImagePaths(const std::vector<std::string> &paths);
std::vector<std::string> UnpackImagePaths(const COPYDATASTRUCT &data);

class SingleInstance {
public:
  SingleInstance();
  // Whether no other instance was running when this one started.
  bool First() const { return first_; }
  // Hands the images to the running program's main window and brings it forward; false when
  // no such window answered.
  bool PassToFirst(const std::vector<std::string> &images) const;

private:
  winkit::KernelHandle mutex_;
  bool first_ = true;
};

} // namespace velmor
