#include "device_name.h"

#include <algorithm>
#include <cctype>

namespace velmor {

bool IsVelmorDevice(const std::string &target) {
  // "\Device\VELMOR" followed by the drive number (never the control device's bare name).
  constexpr char kPrefix[] = "\\Device\\VELMOR";
  const size_t n = sizeof kPrefix - 1;
  if (target.size() <= n)
    return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(target[i])) !=
        std::toupper(static_cast<unsigned char>(kPrefix[i])))
      return false;
  return std::all_of(target.begin() + n, target.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsOnVelmorDevice(const std::string &path) {
  const size_t device = path.find('\\', sizeof "\\Device\\" - 1);
  return device != std::string::npos && IsVelmorDevice(path.substr(0, device));
}

} // namespace velmor
