#pragma once
// Test doubles for the main window (an in-memory list store, scripted dialogs) and what the
// window tests share (keys, the detail line of a failure, a screenshot).
#include "app/ImageListFile.h"
#include "winkit/Dialogs.h"

#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velmor::testing {

class MemoryStore : public ImageListStore {
public:
  // `path` stands for the list file's place: relative rows are relative to its folder.
  explicit MemoryStore(std::string path = "memory") : ImageListStore(std::move(path)) {}
  Loaded Load() override {
    if (loadError)
      throw std::runtime_error(loadError);
    return {stored, exists, notice};
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
  std::string notice;
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

// Saves what the screen shows of the window as a bitmap file, for a look at the layout.
inline void SaveScreenshot(HWND window, const char *path) {
  RECT rc;
  GetWindowRect(window, &rc);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(dc, bmp);
  BitBlt(dc, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY);
  SelectObject(dc, old);
  BITMAPINFOHEADER info{sizeof info, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<char> pixels(((w * 3 + 3) & ~3) * h);
  GetDIBits(dc, bmp, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS);
  BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof info};
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(&file), sizeof file);
  out.write(reinterpret_cast<const char *>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  DeleteObject(bmp);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
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
