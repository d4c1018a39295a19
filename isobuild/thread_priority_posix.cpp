// POSIX: thread priorities stay as they are. An unprivileged process may lower a thread's nice
// value but never raise it again, so the producer could not step back up once its queue drained,
// and real-time classes for the writer need privileges as well.
#include "thread_priority.h"

namespace velmor {

void SetCurrentThreadPriority(ThreadPriority) {}

} // namespace velmor
