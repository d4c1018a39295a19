// Trace points of the driver. They are kept at the places a developer wants to look at, and
// compile to nothing: no behaviour may depend on them.
#pragma once

#include <stdint.h>

namespace velmor {
inline void VelmorTrace(const char *) {}
inline void VelmorTraceNumber(const char *, uint32_t) {}
} // namespace velmor
