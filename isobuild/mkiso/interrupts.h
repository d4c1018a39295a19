#pragma once
// Ctrl-C and termination requests for velmor-mkiso. They only set a flag: the build looks at it
// between its steps, stops, removes what it made, and then ends the process as the request
// would have.

namespace velmor::mkiso {

// From now on SIGINT, SIGTERM and SIGHUP (POSIX), or the console's control events (Windows),
// are caught.
void CatchInterrupts();
// The signal number of the first request caught, or 0.
int Interruption();
// Ends the process as the caught request would have ended it.
[[noreturn]] void EndAsInterrupted();

} // namespace velmor::mkiso
