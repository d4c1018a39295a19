#include "Application.h"

#include "Dialogs.h"
#include "Window.h"

#include <commctrl.h>

#include <atomic>
#include <thread>

namespace winkit {

Application &Application::Instance() {
  static Application app;
  return app;
}

void Application::Initialize() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES |
                                           ICC_TREEVIEW_CLASSES | ICC_ANIMATE_CLASS |
                                           ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
}

void Application::Run() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0)
    Deliver(msg);
  terminated_ = true;
}

void Application::Terminate() {
  if (terminated_)
    return;
  terminated_ = true;
  PostQuitMessage(0);
}

void Application::ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      terminated_ = true;
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    Deliver(msg);
  }
}

void Application::RunAside(HWND busy, const std::function<void()> &work) {
  struct Disabled {
    HWND window;
    explicit Disabled(HWND w) : window(w) { EnableWindow(window, FALSE); }
    ~Disabled() { EnableWindow(window, TRUE); }
  } disabled(busy);
  std::atomic<bool> done{false};
  std::exception_ptr thrown;
  std::thread aside([&] {
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
    done = true;
  });
  // Woken by a message, or every 50 ms to look at the flag; once the program is quitting, the
  // quit message stays queued and the work is simply waited for.
  while (!done && !terminated_) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    ProcessMessages();
  }
  aside.join();
  if (thrown)
    std::rethrow_exception(thrown);
}

void Application::Deliver(MSG &msg) {
  if (Window::TakeDialogKey(msg))
    return;
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

void Application::ShowException(const std::exception &e) {
  Dialogs().MessageBox(mainWindow_, e.what(), title_, kErrorFlags);
}

} // namespace winkit
