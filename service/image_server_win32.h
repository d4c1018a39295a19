// The image server as a service of the system: velmor-served.exe, run by the service manager
// as LocalSystem, started automatically after the driver. It makes the recorded served drives
// again at start, then answers the programs on its pipe until the service is stopped.
#pragma once

#include "served_drives_win32.h"

namespace velmor::server {

// The program's entry: run as the service (the service manager starts it with "service"), or
// tell a user who starts it by hand what it is. `open` picks the reader of an image.
int ImageServerMain(int argc, char **argv, OpenSource open);

} // namespace velmor::server
