#include "ImageListFile.h"

#include "ListFilePlatform.h"
#include "code_page.h"
#include "utf8.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>

namespace velmor {
namespace {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::u16string Utf16Units(std::string_view bytes, bool bigEndian) {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    out += static_cast<char16_t>(bigEndian ? first << 8 | second : second << 8 | first);
  }
  return out;
}

enum class ReadResult { Read, Missing, Failed };

ReadResult ReadWholeFile(const std::string &path, std::string &bytes) {
  errno = 0;
  File f(std::fopen(path.c_str(), "rb"));
  if (!f)
    return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
  char buf[8192];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
    bytes.append(buf, n);
  return std::ferror(f.get()) ? ReadResult::Failed : ReadResult::Read;
}

// Moves `path` to `path` + suffix, or + suffix + ".2", ".3"…: an earlier one is never replaced.
// The name it went to, or empty when it could not be moved.
std::string MoveAside(const std::string &path, const std::string &suffix) {
  for (int n = 1; n < 1000; ++n) {
    const std::string to = path + suffix + (n == 1 ? "" : "." + std::to_string(n));
    const MoveResult result = MoveWithoutReplacing(path, to);
    if (result == MoveResult::Moved)
      return to;
    if (result == MoveResult::Failed)
      break;
  }
  return {};
}

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

DecodedImageList DecodeImageList(std::string_view bytes) {
  DecodedImageList list;
  const auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  std::string text(bytes);
  list.exact = false; // unless the bytes are taken as they are
  if (starts("\xEF\xBB\xBF"))
    text = text::Utf16ToAnsi(text::Utf8ToUtf16(bytes.substr(3)));
  else if (starts("\xFF\xFE") || starts("\xFE\xFF"))
    text = text::Utf16ToAnsi(Utf16Units(bytes.substr(2), bytes[0] == '\xFE'));
  else
    list.exact = true;
  // No path holds a NUL: the rest of its line is kept (a file of UTF-16 without a byte-order
  // mark keeps its ASCII that way).
  if (text.find('\0') != std::string::npos) {
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    list.exact = false;
  }
  list.rows = ParseImageList(text);
  return list;
}

std::vector<std::string> MergeImageLists(const std::vector<std::string> &loaded,
                                         const std::vector<std::string> &onDisk,
                                         const std::vector<std::string> &ours) {
  // How many more of each path the other copies hold than were loaded (negative: removed).
  std::map<std::string, long> change;
  for (const auto &row : onDisk)
    ++change[row];
  for (const auto &row : loaded)
    --change[row];
  std::vector<std::string> merged;
  for (auto it = ours.rbegin(); it != ours.rend(); ++it) { // later duplicates go first
    auto found = change.find(*it);
    if (found != change.end() && found->second < 0)
      ++found->second;
    else
      merged.push_back(*it);
  }
  std::reverse(merged.begin(), merged.end());
  // What the others added, in the file's order.
  std::map<std::string, long> seen;
  for (const auto &row : onDisk) {
    const long added = change[row];
    if (added > 0 && ++seen[row] <= added)
      merged.push_back(row);
  }
  return merged;
}

ImageListStore::Loaded ImageListStore::Load() {
  Loaded result;
  std::string bytes;
  const ReadResult read = ReadWholeFile(path_, bytes);
  if (read == ReadResult::Missing)
    return result;
  if (read == ReadResult::Failed) {
    const std::string aside = MoveAside(path_, ".unreadable");
    if (aside.empty())
      throw std::runtime_error("无法读取文件 \"" + path_ +
                               "\"，也无法将它改名保留。本次列表不会保存。");
    result.notice =
        "无法读取文件 \"" + path_ + "\"，它已改名为 \"" + aside + "\"。列表从空开始，退出时保存。";
    return result;
  }
  DecodedImageList decoded = DecodeImageList(bytes);
  keepOriginal_ = !decoded.exact;
  loaded_ = decoded.rows;
  result.rows = std::move(decoded.rows);
  result.exists = true;
  return result;
}

void ImageListStore::Save(const std::vector<std::string> &rows) {
  // Another copy of the program may have saved the file since it was loaded.
  std::string bytes;
  std::vector<std::string> onDisk = loaded_;
  const ReadResult read = ReadWholeFile(path_, bytes);
  switch (read) {
  case ReadResult::Read: {
    DecodedImageList decoded = DecodeImageList(bytes);
    keepOriginal_ = keepOriginal_ || !decoded.exact;
    onDisk = std::move(decoded.rows);
    break;
  }
  case ReadResult::Failed:
    if (MoveAside(path_, ".unreadable").empty())
      throw std::runtime_error("无法读取文件 \"" + path_ + "\"，列表没有保存");
    break;
  case ReadResult::Missing:
    break;
  }
  const std::vector<std::string> merged = MergeImageLists(loaded_, onDisk, rows);
  // A file the rows do not reproduce is kept beside the new one.
  if (keepOriginal_ && read == ReadResult::Read && MoveAside(path_, ".original").empty())
    throw std::runtime_error("无法将文件 \"" + path_ + "\" 改名保留，列表没有保存");
  keepOriginal_ = false;
  const std::string text = FormatImageList(merged);
  File f(std::fopen(path_.c_str(), "wb"));
  if (!f)
    throw std::runtime_error("无法创建文件 \"" + path_ + "\"");
  const bool written = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  if (std::fclose(f.release()) != 0 || !written)
    throw std::runtime_error("写入文件 \"" + path_ + "\" 出错");
  loaded_ = merged;
}

} // namespace velmor
