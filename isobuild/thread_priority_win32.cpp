// Win32 thread priorities.
#include "thread_priority.h"

#include <windows.h>

namespace velmor {

void SetCurrentThreadPriority(ThreadPriority Priority) {
  int level = THREAD_PRIORITY_NORMAL;
  switch (Priority) {
  case ThreadPriority::Idle:
    level = THREAD_PRIORITY_IDLE;
    break;
  case ThreadPriority::Lowest:
    level = THREAD_PRIORITY_LOWEST;
    break;
  case ThreadPriority::Lower:
    level = THREAD_PRIORITY_BELOW_NORMAL;
    break;
  case ThreadPriority::Normal:
    level = THREAD_PRIORITY_NORMAL;
    break;
  case ThreadPriority::TimeCritical:
    level = THREAD_PRIORITY_TIME_CRITICAL;
    break;
  }
  SetThreadPriority(GetCurrentThread(), level);
}

} // namespace velmor
