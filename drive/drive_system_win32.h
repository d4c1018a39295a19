// The drive control client's system services on Win32.
#pragma once

#include "drive_system.h"

namespace velmor {

// The process's one Win32 drive system (it holds no state).
DriveSystem &Win32DriveSystem();

} // namespace velmor
