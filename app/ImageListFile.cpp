#include "ImageListFile.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace velmor {
namespace {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

} // namespace

std::vector<std::string> ParseImageList(std::string_view text) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n')
      ++end;
    entries.emplace_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
      ++end;
    start = end + 1;
  }
  return entries;
}

std::string FormatImageList(const std::vector<std::string> &entries) {
  std::string text;
  for (const auto &e : entries) {
    text += e;
    text += "\r\n";
  }
  return text;
}

bool ImageListStore::Load(std::vector<std::string> &entries) {
  entries.clear();
  errno = 0;
  File f(std::fopen(path_.c_str(), "rb"));
  if (!f) {
    if (errno == ENOENT)
      return false;
    throw std::runtime_error("无法打开文件 \"" + path_ + "\"");
  }
  std::string text;
  char buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
    text.append(buf, n);
  if (std::ferror(f.get()))
    throw std::runtime_error("读取文件 \"" + path_ + "\" 出错");
  entries = ParseImageList(text);
  return true;
}

void ImageListStore::Save(const std::vector<std::string> &entries) {
  const std::string text = FormatImageList(entries);
  File f(std::fopen(path_.c_str(), "wb"));
  if (!f)
    throw std::runtime_error("无法创建文件 \"" + path_ + "\"");
  const bool written = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  if (std::fclose(f.release()) != 0 || !written)
    throw std::runtime_error("写入文件 \"" + path_ + "\" 出错");
}

} // namespace velmor
