// Whether a drive letter is one of ours, told by the device it stands for: a library of its
// own, so that programs which only look at drives (velmor-mkiso) do not carry the driver.
#pragma once

#include <string>

namespace velmor {

// True when the letter's device name belongs to a drive of the driver.
bool IsVelmorDevice(const std::string &dosDeviceTarget);

} // namespace velmor
