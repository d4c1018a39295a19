#include "ui/ExDragDrop.h"

#include "test_windows.h"

#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>

namespace velmor {
namespace {

// A drop handle as the shell makes it: a DROPFILES record followed by UTF-16 names.
HDROP MakeDrop(const std::vector<std::wstring> &names) {
  std::wstring list;
  for (const std::wstring &name : names)
    list += name + L'\0';
  list += L'\0';
  const size_t bytes = sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
  auto *record = static_cast<DROPFILES *>(GlobalLock(memory));
  record->pFiles = sizeof(DROPFILES);
  record->fWide = TRUE;
  std::memcpy(record + 1, list.data(), list.size() * sizeof(wchar_t));
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

LRESULT Drop(HWND control, const std::vector<std::wstring> &names) {
  return SendMessageA(control, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(names)), 0);
}

// A drop that no component takes is never released by the shell's DragFinish.
void DropUntaken(HWND control) {
  HDROP drop = MakeDrop({L"C:\\x"});
  SendMessageA(control, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
  GlobalFree(drop);
}

struct DropLog {
  int calls = 0;
  std::int32_t lastCount = -1;
  std::vector<std::string> itemsDuringCall;
  void Attach(TExDragDrop &target) {
    target.OnDropped = [this](TExDragDrop *sender, std::int32_t count) {
      ++calls;
      lastCount = count;
      itemsDuringCall = sender->Items();
    };
  }
};

class DragDrop : public ::testing::Test {
protected:
  test::RecordingWindow form;
  HWND list = test::CreateListView(form.Handle());
  HWND otherList = test::CreateListView(form.Handle());
  WNDPROC listProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(list, GWLP_WNDPROC));
};

TEST_F(DragDrop, EachDropReplacesItemsAndIsReportedOnce) {
  TExDragDrop target;
  DropLog log;
  log.Attach(target);
  target.SetControl(list);
  EXPECT_EQ(target.Control(), list);
  EXPECT_TRUE(GetWindowLongA(list, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);

  // Two files and a folder; the folder's last character 運 ends in the byte 0x5C in GBK.
  EXPECT_EQ(Drop(list, {L"C:\\数据\\说明.txt", L"C:\\数据\\好運", L"D:\\b.iso"}), 0);
  const std::vector<std::string> first{"C:\\数据\\说明.txt", "C:\\数据\\好運", "D:\\b.iso"};
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.lastCount, 3);
  EXPECT_EQ(log.itemsDuringCall, first);
  EXPECT_EQ(target.Items(), first);
  EXPECT_EQ(first[1].back(), '\x5C');

  EXPECT_EQ(Drop(list, {L"E:\\c.txt"}), 0);
  EXPECT_EQ(log.calls, 2);
  EXPECT_EQ(log.lastCount, 1);
  EXPECT_EQ(target.Items(), std::vector<std::string>{"E:\\c.txt"});

  target.OnDropped = nullptr;
  EXPECT_EQ(Drop(list, {L"F:\\d", L"F:\\e"}), 0);
  EXPECT_EQ(target.Items(), (std::vector<std::string>{"F:\\d", "F:\\e"}));

  // What a handler lets escape stays out of the system's window procedures.
  target.OnDropped = [](TExDragDrop *, std::int32_t) { throw std::runtime_error("handler"); };
  EXPECT_EQ(Drop(list, {L"G:\\f"}), 0);
  EXPECT_EQ(target.Items(), std::vector<std::string>{"G:\\f"});
}

TEST_F(DragDrop, OtherMessagesReachTheControlUnchanged) {
  TExDragDrop target;
  target.SetControl(list);
  char row[] = "好運";
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.pszText = row;
  EXPECT_EQ(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)), 0);
  item.iItem = 1;
  EXPECT_EQ(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)), 1);
  EXPECT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 2);
  char text[16] = {};
  LVITEMA get{};
  get.iSubItem = 0;
  get.pszText = text;
  get.cchTextMax = sizeof text;
  SendMessageA(list, LVM_GETITEMTEXTA, 1, reinterpret_cast<LPARAM>(&get));
  EXPECT_STREQ(text, "好運");
  // Text messages pass through the subclass's conversions unharmed.
  EXPECT_TRUE(SetWindowTextA(list, "数据\\好運"));
  char caption[32] = {};
  GetWindowTextA(list, caption, sizeof caption);
  EXPECT_STREQ(caption, "数据\\好運");
}

TEST_F(DragDrop, BindingUnbindingAndRebinding) {
  DropLog log;
  {
    TExDragDrop target;
    log.Attach(target);
    target.SetControl(list);
    target.SetControl(list);
    Drop(list, {L"C:\\a"});
    EXPECT_EQ(log.calls, 1);

    // Unbinding once undoes the single binding; the control keeps accepting files.
    target.SetControl(nullptr);
    EXPECT_EQ(target.Control(), nullptr);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrA(list, GWLP_WNDPROC)), listProc);
    EXPECT_TRUE(GetWindowLongA(list, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    DropUntaken(list);
    EXPECT_EQ(log.calls, 1);

    // Straight from one control to another.
    target.SetControl(list);
    target.SetControl(otherList);
    DropUntaken(list);
    EXPECT_EQ(log.calls, 1);
    Drop(otherList, {L"C:\\b"});
    EXPECT_EQ(log.calls, 2);
    EXPECT_EQ(target.Items(), std::vector<std::string>{"C:\\b"});
    target.SetControl(list);
  }
  // Destroying the component unbinds it.
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrA(list, GWLP_WNDPROC)), listProc);
}

TEST_F(DragDrop, SeveralComponentsAtOnce) {
  TExDragDrop first, second;
  DropLog firstLog, secondLog;
  firstLog.Attach(first);
  secondLog.Attach(second);
  first.SetControl(list);
  second.SetControl(otherList);
  Drop(list, {L"C:\\1"});
  Drop(otherList, {L"C:\\2", L"C:\\3"});
  EXPECT_EQ(first.Items(), std::vector<std::string>{"C:\\1"});
  EXPECT_EQ(second.Items(), (std::vector<std::string>{"C:\\2", "C:\\3"}));
  EXPECT_EQ(firstLog.calls, 1);
  EXPECT_EQ(secondLog.calls, 1);

  // Two on one control, unbound in the order they were bound: the later one takes the drops
  // while it is bound, and the control's own procedure comes back at the end.
  second.SetControl(list);
  Drop(list, {L"C:\\4"});
  EXPECT_EQ(secondLog.calls, 2);
  first.SetControl(nullptr);
  Drop(list, {L"C:\\5"});
  EXPECT_EQ(secondLog.calls, 3);
  EXPECT_EQ(firstLog.calls, 1);
  second.SetControl(nullptr);
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrA(list, GWLP_WNDPROC)), listProc);
}

TEST_F(DragDrop, ControlDestroyedBeforeTheComponent) {
  TExDragDrop target;
  target.SetControl(list);
  DestroyWindow(list);
  EXPECT_EQ(target.Control(), nullptr);
  EXPECT_THROW(target.SetControl(list), std::runtime_error) << "no window any more";
  EXPECT_EQ(target.Control(), nullptr);
  target.SetControl(otherList);
  EXPECT_EQ(target.Control(), otherList);
}

} // namespace
} // namespace velmor
