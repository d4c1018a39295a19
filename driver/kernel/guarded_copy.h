// A memory copy that survives a fault in either buffer, for memory that a caller in user mode
// may unmap or protect at any moment. One source per processor: guarded_copy_i386.cpp registers a
// frame-based exception handler, guarded_copy_x64.cpp describes its handler in the image's
// exception tables.
#pragma once

#include <stddef.h>

extern "C" {
// Copies `length` bytes; false when reading `from` or writing `to` faulted, in which case part
// of `to` may already hold copied bytes.
bool VelmorGuardedCopy(void *to, const void *from, size_t length);
}
