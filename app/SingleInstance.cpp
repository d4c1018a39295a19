#include "SingleInstance.h"

#include "drive_system_win32.h"

#include <algorithm>
#include <cstdlib>

namespace velmor {

namespace {

constexpr char kMutexName[] = "Velmor.MainWindow";
constexpr char kMainWindowClass[] = "TFrmMain";
// The first instance may still be starting: its window appears within moments.
constexpr int kWindowTries = 200;
constexpr DWORD kWindowTryMs = 50;

std::string FullPath(const std::string &path) {
  std::string full = Win32DriveSystem().FullPath(path);
  return full.empty() ? path : full;
}

} // namespace

std::vector<std::string> CommandLineImages() {
  std::vector<std::string> images;
  for (int i = 1; i < __argc; ++i)
    if (__argv[i][0] != '\0')
      images.push_back(FullPath(__argv[i]));
  return images;
}

std::string PackImagePaths(const std::vector<std::string> &paths) {
  std::string block;
  for (const auto &path : paths)
    block.append(path).push_back('\0');
  return block;
}

std::vector<std::string> UnpackImagePaths(const COPYDATASTRUCT &data) {
  std::vector<std::string> paths;
  if (data.dwData != kOpenImagesTag || !data.lpData)
    return paths;
  const char *at = static_cast<const char *>(data.lpData);
  const char *end = at + data.cbData;
  while (at < end) {
    const char *zero = std::find(at, end, '\0');
    if (zero > at)
      paths.emplace_back(at, zero);
    at = zero + 1;
  }
  return paths;
}

SingleInstance::SingleInstance() : mutex_(CreateMutexA(nullptr, FALSE, kMutexName)) {
  first_ = !(mutex_ && GetLastError() == ERROR_ALREADY_EXISTS);
}

bool SingleInstance::PassToFirst(const std::vector<std::string> &images) const {
  HWND window = nullptr;
  for (int i = 0; i < kWindowTries && !window; ++i) {
    window = FindWindowA(kMainWindowClass, nullptr);
    if (!window)
      Sleep(kWindowTryMs);
  }
  if (!window)
    return false;
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  AllowSetForegroundWindow(process); // the running program comes forward itself
  const std::string block = PackImagePaths(images);
  COPYDATASTRUCT data{kOpenImagesTag, static_cast<DWORD>(block.size()),
                      const_cast<char *>(block.data())};
  DWORD_PTR answer = 0;
  // The running program inserts the first image while it handles the block.
  if (!SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL,
                           60000, &answer))
    return false;
  return answer == TRUE;
}

} // namespace velmor
