#pragma once
// Test doubles for the main window: an in-memory list store and scripted dialogs.
#include "app/ImageListFile.h"
#include "winkit/Dialogs.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace velmor::testing {

class MemoryStore : public ImageListStore {
public:
  MemoryStore() : ImageListStore("memory") {}
  bool Load(std::vector<std::string> &entries) override {
    if (loadError)
      throw std::runtime_error(loadError);
    entries = stored;
    return exists;
  }
  void Save(const std::vector<std::string> &entries) override {
    ++saves;
    if (saveError)
      throw std::runtime_error(saveError);
    stored = entries;
    exists = true;
  }
  std::vector<std::string> stored;
  bool exists = false;
  int saves = 0;
  const char *loadError = nullptr;
  const char *saveError = nullptr;
};

// Presses `key` on the control that has the focus: the key's messages are posted and go
// through the message loop, where the window's keyboard handling sees them as the keyboard's.
inline void PostKey(UINT key) {
  HWND focus = GetFocus();
  PostMessageA(focus, WM_KEYDOWN, key, 1);
  PostMessageA(focus, WM_KEYUP, key, 0xC0000001);
}

// Whether `text` is `sentence` followed by a detail line in the system's Chinese: double-byte
// characters and no Latin letters, as FormatMessage gives it in code page 936.
inline bool HasChineseDetail(const std::string &text, const std::string &sentence) {
  const std::string head = sentence + "\r\n详细信息: ";
  if (text.rfind(head, 0) != 0 || text.size() == head.size())
    return false;
  bool doubleByte = false;
  for (size_t i = head.size(); i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsDBCSLeadByteEx(936, c)) {
      doubleByte = true;
      ++i;
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
      return false;
    }
  }
  return doubleByte;
}

struct ShownMessage {
  std::string text, caption;
  unsigned flags;
};

class ScriptedDialogs : public winkit::DialogService {
public:
  ScriptedDialogs() { winkit::SetDialogs(this); }
  ~ScriptedDialogs() override { winkit::SetDialogs(nullptr); }

  int MessageBox(HWND, const std::string &text, const std::string &caption,
                 unsigned flags) override {
    messages.push_back({text, caption, flags});
    return answer;
  }
  bool OpenFiles(HWND, const winkit::FileDialogOptions &options,
                 std::vector<std::string> &files) override {
    lastOptions = options;
    ++opened;
    if (openError)
      throw std::runtime_error(openError);
    if (cancel)
      return false;
    files = chosen;
    return true;
  }
  bool SaveFile(HWND, const winkit::FileDialogOptions &options, std::string &file) override {
    lastOptions = options;
    ++opened;
    if (cancel)
      return false;
    file = chosen.empty() ? std::string() : chosen.front();
    return true;
  }
  bool PickFolder(HWND, const std::string &, std::string &folder) override {
    ++opened;
    if (cancel)
      return false;
    folder = chosen.empty() ? std::string() : chosen.front();
    return true;
  }

  std::vector<ShownMessage> messages;
  std::vector<std::string> chosen;
  bool cancel = false;
  const char *openError = nullptr;
  int answer = IDOK;
  int opened = 0;
  winkit::FileDialogOptions lastOptions;
};

} // namespace velmor::testing
