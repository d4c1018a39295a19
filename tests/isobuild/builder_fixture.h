#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "kavo_burner.h"
#include "mock_platform.h"

namespace velmor::testing {

// A component over the in-memory file source, with the window's limits, recording every debug
// message as "level text".
class BuilderTest : public ::testing::Test {
protected:
  MockPlatform fs;
  TKavoBurner burner{fs};
  std::vector<std::string> messages;
  std::deque<std::vector<std::uint8_t>> made;

  void SetUp() override {
    burner.OnDebugMessage = [this](TSCSIDevice *, const std::string &text, std::uint8_t level) {
      messages.push_back(std::to_string(level) + " " + text);
    };
    burner.NewCompilation(600000, 20000);
  }

  CompilationStore &Store() { return TKavoBurner::Compilation(); }
  // A header sector, also one of those made only while the image is streamed (those are copied
  // out, each into memory of its own that lasts as long as the test).
  const std::uint8_t *Sector(std::uint64_t sector) {
    THeaderStream &header = burner.HeaderStream();
    if ((sector + 1) * 2048 <= header.StoredSize())
      return header.Data() + sector * 2048;
    made.emplace_back(2048);
    header.Read(sector * 2048, 2048, made.back().data());
    return made.back().data();
  }
  TEntryNode *Entry(const std::string &dir, const std::string &name) {
    return burner.FindEntry(burner.FindDir(dir), name);
  }
  // The window's calls for one folder item (with its subfolders) and one file item.
  void AddFolderItem(const std::string &path, bool recursive = true) {
    burner.InsertFolder("\\", path, false, true, recursive, kAllAttributes, "*.*");
  }
  void AddFileItem(const std::string &path) { burner.InsertFile("\\", path, false); }
  // `count` one-byte files named by the printf `pattern` and their number.
  void AddNumberedFiles(const char *pattern, int count) {
    for (int i = 0; i < count; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, pattern, i);
      fs.AddFile(name, 1);
    }
  }
  // A folder's contents straight into the root.
  void AddFolderContents(const std::string &path) {
    burner.InsertFolder("\\", path, false, false, true, kAllAttributes, "*.*");
  }
};

} // namespace velmor::testing
