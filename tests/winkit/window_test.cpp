#include "winkit/Application.h"
#include "winkit/ModalWindow.h"

#include <gtest/gtest.h>

namespace winkit {
namespace {

class Owner : public Window {
public:
  Owner() { CreateTopLevel("WinkitTestOwner", "owner", WS_OVERLAPPEDWINDOW, 200, 100); }
};

class Dialog : public ModalWindow {
public:
  explicit Dialog(HWND owner) {
    CreateTopLevel("WinkitTestDialog", "dialog", WS_OVERLAPPEDWINDOW, 100, 50, owner);
  }
};

TEST(ModalWindow, BlocksItsOwnerUntilClosed) {
  App().Initialize();
  Owner owner;
  owner.Show();
  Dialog dialog(owner.Handle());
  int ticks = 0;
  bool ownerWasDisabled = false;
  dialog.StartTimer(1, 10, [&] {
    ownerWasDisabled = !IsWindowEnabled(owner.Handle());
    if (++ticks == 3)
      dialog.Close(7);
  });
  EXPECT_EQ(dialog.ShowModal(), 7);
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(ownerWasDisabled);
  EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
  EXPECT_FALSE(dialog.Visible());
  EXPECT_NE(dialog.Handle(), nullptr) << "closing hides; the owner of the object destroys it";
}

TEST(ModalWindow, CaptionButtonClosesWithZero) {
  Owner owner;
  Dialog dialog(owner.Handle());
  dialog.StartTimer(1, 10, [&] { PostMessageA(dialog.Handle(), WM_CLOSE, 0, 0); });
  EXPECT_EQ(dialog.ShowModal(), 0);
}

TEST(Window, DestroyingTheObjectDestroysTheWindow) {
  HWND hwnd;
  {
    Owner owner;
    hwnd = owner.Handle();
    EXPECT_TRUE(IsWindow(hwnd));
  }
  EXPECT_FALSE(IsWindow(hwnd));
}

} // namespace
} // namespace winkit
