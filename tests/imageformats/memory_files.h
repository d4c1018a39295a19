// Image files in memory for the readers' tests; GBK names are given as their UTF-16 text
// through a small table, as no code page is at hand.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "disc_image.h"

namespace velmor::formats {

class MemoryFiles : public ImageFiles {
public:
  std::map<std::u16string, std::string> contents;
  std::map<std::string, std::u16string> ansi; // GBK bytes -> text; other bytes pass as Latin-1
  std::map<std::u16string, uint64_t> zeros;   // files of zeros too large to hold, by size

  bool Size(const std::u16string &path, uint64_t *size) override {
    if (auto z = zeros.find(path); z != zeros.end())
      return *size = z->second, true;
    auto it = contents.find(path);
    if (it == contents.end())
      return false;
    *size = it->second.size();
    return true;
  }
  bool Read(const std::u16string &path, uint64_t offset, void *buffer, uint32_t length,
            uint32_t *got) override {
    if (auto z = zeros.find(path); z != zeros.end()) {
      *got = offset >= z->second ? 0 : uint32_t(std::min<uint64_t>(length, z->second - offset));
      std::memset(buffer, 0, *got);
      return true;
    }
    auto it = contents.find(path);
    if (it == contents.end())
      return false;
    const std::string &data = it->second;
    *got = offset >= data.size() ? 0 : uint32_t(std::min<uint64_t>(length, data.size() - offset));
    std::memcpy(buffer, data.data() + (offset < data.size() ? offset : 0), *got);
    return true;
  }
  std::u16string AnsiToUtf16(const std::string &bytes) override {
    auto it = ansi.find(bytes);
    if (it != ansi.end())
      return it->second;
    std::u16string out;
    for (unsigned char c : bytes)
      out += char16_t(c);
    return out;
  }
};

} // namespace velmor::formats
