#pragma once
// An in-memory file source for the builder: folders and files with Windows-style paths, file
// contents made up from the path and offset, an image file kept in memory, a fixed clock and a
// UTC+8 time zone. Text is UTF-8, or a GBK-like double-byte code page when asked.
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

namespace velmor::testing {

inline std::uint8_t ContentByte(const std::string &path, std::uint64_t offset) {
  std::uint32_t h = 2166136261u;
  for (char c : path)
    h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return static_cast<std::uint8_t>((h >> (offset % 24)) + offset * 7 + offset / 4099);
}

class MockPlatform : public Platform {
public:
  struct Node {
    ListingRecord Record;
    std::vector<std::string> Children; // full paths, in listing order
  };

  bool DoubleByteCodePage = false;
  bool KeepImage = true; // large images are only counted
  std::vector<std::uint8_t> Image;
  std::uint64_t ImageBytes = 0;
  bool ImageCreated = false;
  TDateTime Clock = EncodeDateTime({2026, 12, 6, 23, 11, 33, 0});
  TDateTime FileDate = EncodeDateTime({2026, 1, 2, 3, 4, 6, 0});

  MockPlatform() { nodes_["D:\\"].Record.Attr = kAttrDirectory; }

  void AddFolder(const std::string &path, const std::string &alternate = "",
                 std::uint32_t attr = kAttrDirectory) {
    Add(path, alternate, attr | kAttrDirectory, 0);
  }
  void AddFile(const std::string &path, std::uint64_t size, const std::string &alternate = "",
               std::uint32_t attr = kAttrArchive) {
    Add(path, alternate, attr, size);
  }
  void Remove(const std::string &path) { nodes_.erase(path); }
  // What a listing says of a name it cannot give as a file or folder (a link to a folder).
  void Refuse(const std::string &path, LeftOutReason why) { nodes_[path].Record.Refusal = why; }

  char Separator() const override { return '\\'; }

  bool ListFolder(const std::string &folder, const std::string &mask,
                  std::vector<ListingRecord> &out) override {
    out.clear();
    const auto it = nodes_.find(folder.size() > 3 ? folder.substr(0, folder.size() - 1) : folder);
    if (it == nodes_.end() || !it->second.Record.IsFolder())
      return false;
    for (const std::string &child : it->second.Children) {
      const auto c = nodes_.find(child);
      if (c != nodes_.end() && Matches(mask, c->second.Record.Name))
        out.push_back(c->second.Record);
    }
    return true;
  }

  bool Stat(const std::string &path, ListingRecord &out) override {
    const auto it = nodes_.find(path);
    if (it == nodes_.end())
      return false;
    out = it->second.Record;
    return true;
  }

  std::unique_ptr<SourceFile> OpenRead(const std::string &path) override {
    const auto it = nodes_.find(path);
    if (it == nodes_.end() || it->second.Record.IsFolder())
      return nullptr;
    return std::make_unique<Reader>(path, it->second.Record.Size);
  }

  std::unique_ptr<ImageFile> CreateImage(const std::string &) override {
    Image.clear();
    ImageBytes = 0;
    ImageCreated = true;
    return std::make_unique<Sink>(*this);
  }

  TDateTime Now() override { return Clock; }
  int TimeZoneBiasMinutes() override { return -480; }

  std::u16string AnsiToUtf16(const std::string &text) override {
    std::u16string out;
    out.reserve(text.size()); // the layout benchmark converts 600,000 names
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
      const unsigned len = CharLength(s[i]);
      if (DoubleByteCodePage && len == 2 && i + 1 < text.size()) {
        out.push_back(static_cast<char16_t>(0x4E00 + ((s[i] - 0x81) << 8) + s[i + 1]));
      } else if (len == 1) {
        out.push_back(s[i]);
      } else {
        char32_t cp = s[i] & (0x7F >> len);
        for (unsigned k = 1; k < len && i + k < text.size(); ++k)
          cp = (cp << 6) | (s[i + k] & 0x3F);
        if (cp >= 0x10000) {
          out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
          out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
          out.push_back(static_cast<char16_t>(cp));
        }
      }
      i += len;
    }
    return out;
  }

  unsigned CharLength(unsigned char b) override {
    if (DoubleByteCodePage)
      return b >= 0x81 && b <= 0xFE ? 2 : 1;
    return b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
  }

private:
  class Reader : public SourceFile {
  public:
    Reader(std::string path, std::uint64_t size) : path_(std::move(path)), size_(size) {}
    std::int64_t Read(void *buffer, std::size_t count) override {
      auto *p = static_cast<std::uint8_t *>(buffer);
      std::size_t n = 0;
      for (; n < count && pos_ < size_; ++n, ++pos_)
        p[n] = ContentByte(path_, pos_);
      return static_cast<std::int64_t>(n);
    }

  private:
    std::string path_;
    std::uint64_t size_;
    std::uint64_t pos_ = 0;
  };

  class Sink : public ImageFile {
  public:
    explicit Sink(MockPlatform &owner) : owner_(owner) {}
    bool Write(const void *data, std::size_t count) override {
      if (owner_.KeepImage) {
        const auto *p = static_cast<const std::uint8_t *>(data);
        owner_.Image.insert(owner_.Image.end(), p, p + count);
      }
      owner_.ImageBytes += count;
      return true;
    }
    bool Close() override { return true; }

  private:
    MockPlatform &owner_;
  };

  static bool Matches(const std::string &mask, const std::string &name) {
    if (mask == "*.*" || mask == "*")
      return true;
    if (mask.size() > 1 && mask[0] == '*') // "*.txt"
      return name.size() >= mask.size() - 1 &&
             name.compare(name.size() - (mask.size() - 1), std::string::npos, mask, 1) == 0;
    return mask == name;
  }

  void Add(const std::string &path, const std::string &alternate, std::uint32_t attr,
           std::uint64_t size) {
    std::size_t slash = std::string::npos; // the last "\" that is a character of its own
    for (std::size_t i = 0; i < path.size(); i += CharLength(static_cast<unsigned char>(path[i])))
      slash = path[i] == '\\' ? i : slash;
    std::string parent = path.substr(0, slash);
    if (parent.size() == 2 && parent[1] == ':')
      parent += '\\'; // "D:" -> "D:\"
    const bool top = slash == std::string::npos || slash < 2 || parent.size() < 3 || parent == path;
    if (!top && !nodes_.count(parent))
      AddFolder(parent);
    Node &node = nodes_[path];
    node.Record.Name = path.substr(slash + 1);
    node.Record.AlternateName = alternate;
    node.Record.Attr = attr;
    node.Record.Size = size;
    node.Record.LastWrite = FileDate;
    if (!top)
      nodes_[parent].Children.push_back(path);
  }

  std::map<std::string, Node> nodes_;
};

// Multi-byte fields of the image.
inline std::uint32_t Le32(const std::uint8_t *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint32_t Be32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
inline std::uint16_t Le16(const std::uint8_t *p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint16_t Be16(const std::uint8_t *p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

} // namespace velmor::testing
