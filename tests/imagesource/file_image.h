// Image files for the tests, the fuzzer and the benchmark: a RandomAccessFile over a host file
// or over bytes in memory.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "image_source.h"

namespace velmor::imagesource {

class HostFile final : public RandomAccessFile {
public:
  static std::unique_ptr<HostFile> Open(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
      return nullptr;
    std::fseek(f, 0, SEEK_END);
    return std::unique_ptr<HostFile>(new HostFile(f, uint64_t(std::ftell(f))));
  }
  ~HostFile() override { std::fclose(file_); }
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void *out, size_t length) override {
    return offset <= size_ && length <= size_ - offset &&
           std::fseek(file_, long(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, length, file_) == length;
  }

private:
  HostFile(FILE *f, uint64_t size) : file_(f), size_(size) {}
  FILE *file_;
  uint64_t size_;
};

class MemoryFile final : public RandomAccessFile {
public:
  explicit MemoryFile(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, void *out, size_t length) override {
    if (offset > bytes_.size() || length > bytes_.size() - offset)
      return false;
    if (length != 0)
      std::memcpy(out, bytes_.data() + offset, length);
    return true;
  }

private:
  std::string bytes_;
};

} // namespace velmor::imagesource
