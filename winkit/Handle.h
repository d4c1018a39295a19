#pragma once
// RAII owners for the few kinds of Win32 handles the windows keep.
#include <windows.h>

#include <commctrl.h>

#include <utility>

namespace winkit {

template <typename H, typename Deleter> class Owned {
public:
  Owned() = default;
  explicit Owned(H h) : h_(h) {}
  ~Owned() { reset(); }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  Owned(Owned &&o) noexcept : h_(std::exchange(o.h_, H{})) {}
  Owned &operator=(Owned &&o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, H{});
    }
    return *this;
  }
  H get() const { return h_; }
  H release() { return std::exchange(h_, H{}); }
  void reset(H h = H{}) {
    if (h_)
      Deleter{}(h_);
    h_ = h;
  }
  explicit operator bool() const { return h_ != H{}; }

private:
  H h_{};
};

struct GdiDeleter {
  void operator()(HGDIOBJ h) const { DeleteObject(h); }
};
struct MenuDeleter {
  void operator()(HMENU h) const { DestroyMenu(h); }
};
struct ImageListDeleter {
  void operator()(HIMAGELIST h) const { ImageList_Destroy(h); }
};
struct KernelHandleDeleter {
  void operator()(HANDLE h) const {
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
  }
};
struct AcceleratorDeleter {
  void operator()(HACCEL h) const { DestroyAcceleratorTable(h); }
};
struct RegKeyDeleter {
  void operator()(HKEY h) const { RegCloseKey(h); }
};

using FontHandle = Owned<HFONT, GdiDeleter>;
using BitmapHandle = Owned<HBITMAP, GdiDeleter>;
using MenuHandle = Owned<HMENU, MenuDeleter>;
using ImageListHandle = Owned<HIMAGELIST, ImageListDeleter>;
using KernelHandle = Owned<HANDLE, KernelHandleDeleter>;
using RegKey = Owned<HKEY, RegKeyDeleter>;
using AcceleratorHandle = Owned<HACCEL, AcceleratorDeleter>;

} // namespace winkit
