// The drive control client's system services on Win32.
#pragma once

#include <string>

#include "drive_system.h"

namespace velmor {

// The process's one Win32 drive system (it holds no state).
DriveSystem &Win32DriveSystem();

// The system's text for an error code, in the system's language, without the final line break.
std::string SystemErrorText(long code);

} // namespace velmor
