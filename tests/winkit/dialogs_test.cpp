#include "winkit/Dialogs.h"

#include <gtest/gtest.h>

namespace winkit {
namespace {

TEST(DialogFilter, PipesBecomeZerosWithDoubleZeroEnd) {
  EXPECT_EQ(MakeDialogFilter(""), "");
  EXPECT_EQ(MakeDialogFilter("*.iso|*.iso"), std::string("*.iso\0*.iso\0\0", 13));
}

TEST(DialogFiles, SingleAndMultipleAnswers) {
  EXPECT_EQ(SplitDialogFiles("C:\\a.iso\0"), std::vector<std::string>{"C:\\a.iso"});
  EXPECT_EQ(SplitDialogFiles("C:\\dir\0b.iso\0a.iso\0"),
            (std::vector<std::string>{"C:\\dir\\b.iso", "C:\\dir\\a.iso"}));
  EXPECT_EQ(SplitDialogFiles("C:\\\0a.iso\0b.iso\0"),
            (std::vector<std::string>{"C:\\a.iso", "C:\\b.iso"}));
  // A folder ending in a GBK character whose trail byte is 0x5C still gets its separator.
  EXPECT_EQ(SplitDialogFiles("C:\\\x95\x5C\0a.iso\0b.iso\0"),
            (std::vector<std::string>{"C:\\\x95\x5C\\a.iso", "C:\\\x95\x5C\\b.iso"}));
}

} // namespace
} // namespace winkit
