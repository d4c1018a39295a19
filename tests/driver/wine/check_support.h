// What the Win32 check programs of the driver share: one line per check, a count of failures,
// and a handle closed when it goes out of scope.
#pragma once

#include <windows.h>

#include <cstdio>

namespace velmor {

inline int failures = 0;

inline void Check(bool ok, const char *what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) {
    ++failures;
    std::printf("      last error %lu\n", GetLastError());
  }
}

class Handle {
public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() {
    if (valid())
      CloseHandle(h_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

private:
  HANDLE h_;
};

} // namespace velmor
