// The pipe the programs reach the server by: only SYSTEM and administrators may open it, never
// from another machine, and the caller's token decides what it may mount.
#pragma once

#include <windows.h>

#include "served_drives_win32.h"

namespace velmor::server {

// Answers one request per connection, one connection at a time, until `stop` is set; false
// when the pipe cannot be made (another process holds its name).
bool RunPipeServer(ServedDrives &drives, HANDLE stop);

} // namespace velmor::server
