// Replays the fuzzing corpus through the fuzz entry, so every test run covers what fuzzing
// found without fuzzing for minutes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

TEST(FuzzCorpusTest, EveryInputRunsCleanly) {
  size_t inputs = 0;
  for (const auto &entry : std::filesystem::directory_iterator(VELMOR_FUZZ_CORPUS)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    ++inputs;
  }
  EXPECT_GT(inputs, 0u);
}
