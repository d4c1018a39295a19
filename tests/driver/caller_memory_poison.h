// ASan's manual poisoning, for caller buffers that the driver may touch only through its copies.
// Without ASan the macros do nothing.
#pragma once

#include <sanitizer/asan_interface.h>

#if defined(__SANITIZE_ADDRESS__)
#define VELMOR_MODEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMOR_MODEL_ASAN 1
#endif
#endif
#ifndef VELMOR_MODEL_ASAN
#define VELMOR_MODEL_ASAN 0
#endif
