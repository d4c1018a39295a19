#include <gtest/gtest.h>

#include "size_text.h"

namespace velmor {
namespace {

TEST(SizeText, MegabytesWithThousandsAndTwoDecimals) {
  EXPECT_EQ(FormatMegabytes(0), "0.00");
  EXPECT_EQ(FormatMegabytes(614400), "0.59");
  EXPECT_EQ(FormatMegabytes(1572864), "1.50");
  EXPECT_EQ(FormatMegabytes(1048576 - 1), "1.00");
  EXPECT_EQ(FormatMegabytes(314572800), "300.00");
  EXPECT_EQ(FormatMegabytes(1073741824000LL), "1,024,000.00");
  EXPECT_EQ(ProgressText(1572864, 314572800), "1.50/300.00 MB");
  EXPECT_EQ(FormatCount(999), "999");
  EXPECT_EQ(FormatCount(600000), "600,000");
}

} // namespace
} // namespace velmor
