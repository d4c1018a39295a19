// Opening images from Explorer: the program started with an image, then started again with
// another. Run by open_images_test.sh in a prefix of its own, with
//   VELMOR_EXE     a copy of velmor.exe (its image list file is written beside it)
//   VELMOR_IMAGES  two ISO images, separated by '|'
#include "drive_client.h"
#include "drive_system_win32.h"
#include "winkit/Handle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace velmor {
namespace {

std::string Env(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "";
}

struct Program {
  winkit::KernelHandle process;
  DWORD exitCode = STILL_ACTIVE;
};

Program Start(const std::string &image) {
  std::string command = "\"" + Env("VELMOR_EXE") + "\" \"" + image + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  EXPECT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info));
  CloseHandle(info.hThread);
  return {winkit::KernelHandle(info.hProcess)};
}

// Waits for `ready`, checking every 50 ms, for at most a minute.
template <typename F> bool Await(F ready) {
  for (int i = 0; i < 1200; ++i, Sleep(50))
    if (ready())
      return true;
  return false;
}

BOOL CALLBACK CollectMainWindow(HWND window, LPARAM out) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "TFrmMain")
    reinterpret_cast<std::vector<HWND> *>(out)->push_back(window);
  return TRUE;
}

std::vector<HWND> MainWindows() {
  std::vector<HWND> found;
  EnumWindows(&CollectMainWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

int VelmorDrives() {
  int count = 0;
  for (char letter = 'C'; letter <= 'Z'; ++letter)
    count += IsVelmorDevice(Win32DriveSystem().DosDeviceTarget(letter)) ? 1 : 0;
  return count;
}

TEST(OpenImages, ASecondStartHandsItsImageToTheFirstWindow) {
  const std::string images = Env("VELMOR_IMAGES");
  const size_t bar = images.find('|');
  ASSERT_NE(bar, std::string::npos);
  ASSERT_EQ(VelmorDrives(), 0);

  Program first = Start(images.substr(0, bar));
  ASSERT_TRUE(Await([] { return MainWindows().size() == 1; }));
  ASSERT_TRUE(Await([] { return VelmorDrives() == 1; })) << "the first image was not inserted";

  Program second = Start(images.substr(bar + 1));
  ASSERT_EQ(WaitForSingleObject(second.process.get(), 60000), WAIT_OBJECT_0);
  GetExitCodeProcess(second.process.get(), &second.exitCode);
  EXPECT_EQ(second.exitCode, 0u);
  const std::vector<HWND> windows = MainWindows();
  EXPECT_EQ(windows.size(), 1u) << "a second window opened";
  EXPECT_EQ(VelmorDrives(), 2) << "the second image was not inserted";

  // The list file written at exit holds what the window listed.
  ASSERT_FALSE(windows.empty());
  PostMessageA(windows[0], WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(first.process.get(), 60000), WAIT_OBJECT_0);
}

} // namespace
} // namespace velmor
