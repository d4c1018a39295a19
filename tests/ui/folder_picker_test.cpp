#include "ui/FolderPicker.h"

#include "test_windows.h"

#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmor {
namespace {

TEST(BrowseCallback, PreselectsOnlyAPathGivenAtInitialisation) {
  test::RecordingWindow dialog;
  char path[] = "C:\\数据\\好運";
  const LPARAM data = reinterpret_cast<LPARAM>(path);
  const struct {
    UINT msg;
    LPARAM data;
    bool selects;
  } cases[] = {
      {BFFM_INITIALIZED, data, true}, {BFFM_INITIALIZED, 0, false}, {BFFM_SELCHANGED, data, false}};
  for (const auto &c : cases) {
    const size_t before = dialog.Received(WM_USER, 0x7FFF).size();
    EXPECT_EQ(BrowseCallback(dialog.Handle(), c.msg, 0, c.data), 0);
    const auto sent = dialog.Received(WM_USER, 0x7FFF);
    ASSERT_EQ(sent.size(), before + (c.selects ? 1 : 0)) << "message " << c.msg;
    if (c.selects) {
      EXPECT_EQ(sent.back().msg, static_cast<UINT>(BFFM_SETSELECTIONA));
      EXPECT_EQ(sent.back().wp, 1u);
      EXPECT_EQ(sent.back().lp, data);
    }
  }
}

// What the test saw of the dialog before it pressed one of the dialog's buttons.
struct DialogSeen {
  bool found = false;
  HWND owner = nullptr;
  bool ownerEnabled = true;
  UINT errorMode = 0;
  std::string treeTop;  // the caption of the tree's top item
  std::string selected; // the path the picker asked the dialog to select, if it asked
  std::string caret;    // the caption of the tree's selected item when the dialog was answered
};

// The button to press, the tree items to select first and what was seen; a hook has no data
// of its own.
int answerButton = 0;
const std::vector<std::string> *answerPath = nullptr;
DialogSeen *answerSeen = nullptr;

bool IsDialogClass(HWND wnd) {
  char name[16] = {};
  GetClassNameA(wnd, name, sizeof name);
  return lstrcmpA(name, "#32770") == 0;
}

// The caption of the dialog tree's item `which` (TVGN_ROOT, TVGN_CARET).
std::string TreeItemText(HWND dialog, WPARAM which) {
  HWND tree = FindWindowExA(dialog, nullptr, WC_TREEVIEWA, nullptr);
  char text[MAX_PATH] = {};
  TVITEMA item{};
  item.mask = TVIF_TEXT;
  item.hItem = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, which, 0));
  item.pszText = text;
  item.cchTextMax = sizeof text;
  SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
  return text;
}

std::string ItemText(HWND tree, HTREEITEM item) {
  char text[MAX_PATH] = {};
  TVITEMA data{};
  data.mask = TVIF_TEXT;
  data.hItem = item;
  data.pszText = text;
  data.cchTextMax = sizeof text;
  SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&data));
  return text;
}

// The item reached from `item` through children whose captions contain steps[at], steps[at+1]
// ... in turn (an empty step takes any child), expanding each level as a user would.
HTREEITEM FindItem(HWND tree, HTREEITEM item, const std::vector<std::string> &steps, size_t at) {
  if (at == steps.size())
    return item;
  SendMessageA(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
  for (auto child = reinterpret_cast<HTREEITEM>(
           SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)));
       child; child = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_NEXT,
                                                               reinterpret_cast<LPARAM>(child)))) {
    if (ItemText(tree, child).find(steps[at]) == std::string::npos)
      continue;
    if (HTREEITEM found = FindItem(tree, child, steps, at + 1))
      return found;
  }
  return nullptr;
}

// Notes the selection the picker asks of its dialog (sent from inside the dialog's
// initialisation, before the dialog's own loop runs).
LRESULT CALLBACK NoteSelectionRequest(int code, WPARAM wp, LPARAM lp) {
  const auto *call = reinterpret_cast<const CWPSTRUCT *>(lp);
  if (code == HC_ACTION && call->message == BFFM_SETSELECTIONA && call->lParam)
    answerSeen->selected = reinterpret_cast<const char *>(call->lParam);
  return CallNextHookEx(nullptr, code, wp, lp);
}

// Answers the dialog once its initialisation has returned, when the picker's callback has run.
// Whether Wine's dialog then shows the folder asked for is Wine's affair (it compares the
// shell's items of the path with those it lists, and items that differ in a time stamp leave it
// on the desktop), so the test selects the answer's folder in the tree itself, as a user
// would, and the picker's side is checked: what it asks and how it reads the answer. Nothing
// waits for time. The button is posted, so the dialog's own loop takes it.
LRESULT CALLBACK AnswerAfterInit(int code, WPARAM wp, LPARAM lp) {
  const auto *call = reinterpret_cast<const CWPRETSTRUCT *>(lp);
  if (code == HC_ACTION && call->message == WM_INITDIALOG && IsDialogClass(call->hwnd) &&
      !answerSeen->found) {
    const HWND dialog = call->hwnd;
    DialogSeen &seen = *answerSeen;
    seen.found = true;
    seen.owner = GetWindow(dialog, GW_OWNER);
    seen.ownerEnabled = seen.owner && IsWindowEnabled(seen.owner);
    seen.errorMode = SetErrorMode(0);
    SetErrorMode(seen.errorMode);
    seen.treeTop = TreeItemText(dialog, TVGN_ROOT);
    if (!answerPath->empty()) {
      HWND tree = FindWindowExA(dialog, nullptr, WC_TREEVIEWA, nullptr);
      const auto root =
          reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
      if (HTREEITEM item = FindItem(tree, root, *answerPath, 0))
        SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    }
    seen.caret = TreeItemText(dialog, TVGN_CARET);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(answerButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, answerButton)));
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

// Runs the picker and answers its dialog with `button`.
// `path`: the captions of the tree items that lead from the top to the folder to answer on.
bool Pick(const std::wstring &root, std::string &folder, int button,
          const std::vector<std::string> &path, DialogSeen &seen) {
  answerButton = button;
  answerPath = &path;
  answerSeen = &seen;
  const DWORD thread = GetCurrentThreadId();
  HHOOK asked = SetWindowsHookExA(WH_CALLWNDPROC, &NoteSelectionRequest, nullptr, thread);
  HHOOK answer = SetWindowsHookExA(WH_CALLWNDPROCRET, &AnswerAfterInit, nullptr, thread);
  const bool result = BrowseForFolder("选择目录", root, folder);
  UnhookWindowsHookEx(answer);
  UnhookWindowsHookEx(asked);
  return result;
}

std::wstring Wide(const std::string &ansi) {
  std::wstring wide(ansi.size() + 1, L'\0');
  wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide.data(),
                                                      static_cast<int>(wide.size()))) -
              1);
  return wide;
}

class FolderPicker : public ::testing::Test {
protected:
  void SetUp() override {
    // A folder of the test's own on C:, where the tree reaches it in a few steps.
    parentName = "velmor_ui_test_" + std::to_string(GetCurrentProcessId());
    parent = "C:\\" + parentName;
    // The last character 運 ends in the byte 0x5C in GBK.
    existing = parent + "\\好運";
    deleted = parent + "\\gone";
    CreateDirectoryA(parent.c_str(), nullptr);
    CreateDirectoryA(existing.c_str(), nullptr);
    CreateDirectoryA(deleted.c_str(), nullptr);
    RemoveDirectoryA(deleted.c_str());
    SetForegroundWindow(application.Handle());
    SetActiveWindow(application.Handle());
    EnableWindow(disabledWindow.Handle(), FALSE);
    previousErrorMode = SetErrorMode(0);
  }
  void TearDown() override {
    SetErrorMode(previousErrorMode);
    RemoveDirectoryA(existing.c_str());
    RemoveDirectoryA(parent.c_str());
  }

  test::RecordingWindow disabledWindow;
  test::RecordingWindow application; // made last: the active window
  std::string parentName, parent, existing, deleted;
  UINT previousErrorMode = 0;
};

TEST_F(FolderPicker, AnswersOfTheDialog) {
  ASSERT_EQ(GetActiveWindow(), application.Handle());
  const struct {
    const char *what;
    std::wstring root;
    std::string folderIn;
    int button;
    bool result;
    std::string folderOut;
    std::string treeTop;           // checked when not empty
    std::vector<std::string> path; // the tree items selected before answering (see Pick)
    std::string asked;             // the selection the picker asks for
  } cases[] = {
      {"cancel, nothing preselected", L"", "", IDCANCEL, false, "", "", {}, ""},
      {"cancel, a deleted folder", L"", deleted, IDCANCEL, false, "", "", {}, ""},
      // The desktop, then any of its items (the computer's caption depends on the language),
      // the drive, the test's folder.
      {"OK on a folder below the desktop",
       L"",
       existing,
       IDOK,
       true,
       existing,
       "",
       {"", "C:", parentName, "好運"},
       existing},
      {"OK below a root",
       Wide(parent),
       existing,
       IDOK,
       true,
       existing,
       parentName,
       {"好運"},
       existing},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::string folder = c.folderIn;
    DialogSeen seen;
    EXPECT_EQ(Pick(c.root, folder, c.button, c.path, seen), c.result);
    EXPECT_EQ(folder, c.folderOut);
    ASSERT_TRUE(seen.found) << "no dialog";
    EXPECT_EQ(seen.owner, application.Handle());
    EXPECT_FALSE(seen.ownerEnabled);
    EXPECT_EQ(seen.errorMode, static_cast<UINT>(SEM_FAILCRITICALERRORS));
    EXPECT_EQ(seen.selected, c.asked);
    if (!c.treeTop.empty()) {
      EXPECT_EQ(seen.treeTop, c.treeTop);
    }
    if (!c.path.empty()) {
      EXPECT_EQ(seen.caret, c.path.back());
    }

    // Everything is given back: the windows, their activation and the error mode.
    EXPECT_TRUE(IsWindowEnabled(application.Handle()));
    EXPECT_FALSE(IsWindowEnabled(disabledWindow.Handle())) << "was disabled before";
    EXPECT_EQ(GetActiveWindow(), application.Handle());
    const UINT errorMode = SetErrorMode(0);
    EXPECT_EQ(errorMode, 0u);
  }
}

} // namespace
} // namespace velmor
