// Whether a drive letter is one of ours, told by the device it stands for: a library of its
// own, so that programs which only look at drives (velmor-mkiso) do not carry the driver.
#pragma once

#include <string>

namespace velmor {

// True when the letter's device name belongs to a drive of the driver.
bool IsVelmorDevice(const std::string &dosDeviceTarget);
// True when a file's path in the system's own form ("\Device\VELMOR3\dir\x.chd") lies on one
// of the driver's drives.
bool IsOnVelmorDevice(const std::string &ntPath);

} // namespace velmor
