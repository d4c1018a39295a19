#pragma once
// Plain Win32 windows for the tests of the drop target and the folder picker.
#include <windows.h>

#include <vector>

namespace velmor::test {

// A visible top-level window whose procedure records every message it is sent.
class RecordingWindow {
public:
  struct Message {
    UINT msg;
    WPARAM wp;
    LPARAM lp;
  };
  RecordingWindow();
  ~RecordingWindow();
  RecordingWindow(const RecordingWindow &) = delete;
  RecordingWindow &operator=(const RecordingWindow &) = delete;
  HWND Handle() const { return hwnd_; }
  // The messages of the given numbers received so far.
  std::vector<Message> Received(UINT first, UINT last) const;

private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  HWND hwnd_ = nullptr;
  std::vector<Message> messages_;
};

// A report-style list view (the control the drop target serves) inside `parent`.
HWND CreateListView(HWND parent);

} // namespace velmor::test
