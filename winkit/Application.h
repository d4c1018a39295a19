#pragma once
// The application object: message loop, title, and the default error report for exceptions
// that escape an event handler.
#include <windows.h>

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

namespace winkit {

class Application {
public:
  static Application &Instance();

  // Registers the common controls; call once before the first window is made.
  void Initialize();
  // Runs the message loop until Terminate() is called (or WM_QUIT arrives).
  void Run();
  // Asks the loop to end; the windows are destroyed afterwards by their owners.
  void Terminate();
  bool Terminated() const { return terminated_; }
  // Handles every message already waiting, then returns (for long work on the GUI thread).
  void ProcessMessages();
  // Runs `work` on a thread of its own and meanwhile delivers this thread's messages, so that
  // the windows keep painting, with `busy` disabled; returns when it has ended, throwing what it
  // threw.
  void RunAside(HWND busy, const std::function<void()> &work);
  // Hands one message to its window: keys of a form go through its dialog navigation first.
  // Every message loop of the program delivers through here.
  static void Deliver(MSG &msg);

  const std::string &Title() const { return title_; }
  void SetTitle(const std::string &title) { title_ = title; }

  // The window that owns the error report's message box.
  void SetMainWindow(HWND hwnd) { mainWindow_ = hwnd; }
  HWND MainWindow() const { return mainWindow_; }

  // The default error report: a message box with the error's text.
  void ShowException(const std::exception &e);
  // Runs `handler`, reporting whatever it throws; used around every event handler.
  template <typename F> void Guard(F &&handler) noexcept {
    try {
      handler();
    } catch (const std::exception &e) {
      ShowException(e);
    } catch (...) {
      ShowException(std::runtime_error("unknown error"));
    }
  }

  // Resets the terminate request (tests run several message loops in one process).
  void ResetForTests() { terminated_ = false; }

private:
  Application() = default;
  std::string title_;
  HWND mainWindow_ = nullptr;
  bool terminated_ = false;
};

inline Application &App() { return Application::Instance(); }

} // namespace winkit
