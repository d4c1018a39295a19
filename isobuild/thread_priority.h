#pragma once
// Scheduling priority of the calling thread, for the two threads of an image write: the writer
// runs time-critical and the read-ahead producer steps down as its queue fills.
namespace velmor {

enum class ThreadPriority { Idle, Lowest, Lower, Normal, TimeCritical };

// Best effort: where the system cannot do it (or could not undo it), nothing changes.
void SetCurrentThreadPriority(ThreadPriority Priority);

} // namespace velmor
