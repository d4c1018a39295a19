#include "app/ExecutablePath.h"

#include <gtest/gtest.h>

namespace velmor {
namespace {

bool GbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

TEST(ExecutablePath, DirectoryPartReadsDoubleByteCharactersWhole) {
  EXPECT_EQ(DirectoryPartLength("C:\\dir\\velmor.exe", GbkLead), 7u);
  EXPECT_EQ(DirectoryPartLength("velmor.exe", GbkLead), 0u);
  // 0x95 0x5C is one GBK character whose trail byte looks like a backslash.
  EXPECT_EQ(DirectoryPartLength("C:\\\x95\x5C.exe", GbkLead), 3u);
  EXPECT_EQ(DirectoryPartLength("C:\\\x95\x5C\\v.exe", GbkLead), 6u);
}

TEST(ExecutablePath, ExecutableDirectoryEndsWithSeparator) {
  const std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
}

} // namespace
} // namespace velmor
