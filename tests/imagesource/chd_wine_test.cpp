// The CHD reader as the Win32 build links it (the codec libraries cross-built from Debian's
// sources), against what chdman itself extracts from the same CHDs: a CD's BIN, and the bytes
// of a CHD of 2,048-byte units. The files lie in the test's working folder.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "file_image.h"
#include "open_image_source.h"

namespace velmor::imagesource {
namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ChdReader, ReadsWhatChdmanExtracts) {
  const struct {
    const char *chd;
    const char *extracted;
    size_t tracks;
  } cases[] = {
      {"cd-default.chd", "cd-default.bin", 2}, // cdlz and cdfl hunks: raw mode 1 and audio
      {"raw-lzma.chd", "raw-lzma.bin", 1},
      {"raw-flac.chd", "raw-flac.bin", 1},
      {"raw-huff.chd", "raw-huff.bin", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.chd);
    OpenProblem problem;
    auto source = OpenImageSource(HostFile::Open(c.chd), &problem);
    ASSERT_TRUE(source) << problem.text;
    EXPECT_EQ(source->Tracks().size(), c.tracks);
    const std::string expected = ReadAll(c.extracted);
    ASSERT_EQ(source->StreamSize(0), expected.size());
    std::string got(expected.size(), '\0');
    ASSERT_EQ(source->Read(0, 0, got.data(), uint32_t(got.size())), ReadResult::kOk);
    EXPECT_TRUE(got == expected);
  }
}

} // namespace
} // namespace velmor::imagesource
