// Opening images from Explorer: the program started with an image, then started again with
// another, and through Explorer's verb. Run by open_images_test.sh in a prefix of its own, with
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

BOOL CALLBACK CollectMessageBox(HWND window, LPARAM out) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "#32770" && IsWindowVisible(window))
    reinterpret_cast<std::vector<HWND> *>(out)->push_back(window);
  return TRUE;
}

std::vector<HWND> MessageBoxes() {
  std::vector<HWND> found;
  EnumWindows(&CollectMessageBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

// Runs `command` and waits for it; its exit code.
DWORD RunToEnd(std::string command) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  EXPECT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info));
  CloseHandle(info.hThread);
  winkit::KernelHandle process(info.hProcess);
  DWORD code = STILL_ACTIVE;
  EXPECT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0) << command;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

// The command Explorer runs for the verb on a ".iso" file, for `image`.
std::string VerbCommand(const std::string &image) {
  char command[1024] = {};
  LONG size = sizeof command;
  EXPECT_EQ(RegQueryValueA(HKEY_CURRENT_USER,
                           "Software\\Classes\\SystemFileAssociations\\.iso\\shell\\"
                           "Velmor.Mount\\command",
                           command, &size),
            ERROR_SUCCESS);
  std::string text = command;
  const size_t at = text.find("%1");
  return at == std::string::npos ? text : text.replace(at, 2, image);
}

// The first start shows a message box (its image is missing) when a second start hands it an
// image: the hand-over is answered at once, the second start ends without a window of its own
// and the image is inserted once. Explorer's verb then hands over the other image; the list is
// saved when the session ends, without the missing image.
TEST(OpenImages, ASecondStartHandsItsImageToTheFirstWindow) {
  const std::string images = Env("VELMOR_IMAGES");
  const size_t bar = images.find('|');
  ASSERT_NE(bar, std::string::npos);
  ASSERT_EQ(VelmorDrives(), 0);
  const std::string folder = images.substr(0, images.rfind('\\', bar) + 1);

  Program first = Start(folder + "missing.iso");
  ASSERT_TRUE(Await([] { return MainWindows().size() == 1; }));
  ASSERT_TRUE(Await([] { return MessageBoxes().size() == 1; })) << "no message of the missing";

  EXPECT_EQ(RunToEnd("\"" + Env("VELMOR_EXE") + "\" \"" + images.substr(0, bar) + "\""), 0u);
  EXPECT_EQ(MainWindows().size(), 1u) << "a second window opened";
  ASSERT_TRUE(Await([] { return VelmorDrives() == 1; })) << "the first image was not inserted";
  Sleep(500);
  EXPECT_EQ(VelmorDrives(), 1) << "the image was inserted twice";
  for (HWND box : MessageBoxes())
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(Await([] { return MessageBoxes().empty(); }));

  EXPECT_EQ(RunToEnd(VerbCommand(images.substr(bar + 1))), 0u);
  EXPECT_TRUE(Await([] { return VelmorDrives() == 2; })) << "the verb's image was not inserted";
  const std::vector<HWND> windows = MainWindows();
  ASSERT_EQ(windows.size(), 1u) << "a second window opened";

  // The session ends (wineboot -e asks and tells every window, then ends its process), and the
  // window is never destroyed.
  RunToEnd("wineboot.exe -e");
  if (WaitForSingleObject(first.process.get(), 20000) != WAIT_OBJECT_0)
    TerminateProcess(first.process.get(), 0);
  ASSERT_EQ(WaitForSingleObject(first.process.get(), 60000), WAIT_OBJECT_0);
}

} // namespace
} // namespace velmor
