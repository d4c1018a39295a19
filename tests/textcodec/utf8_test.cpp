#include <gtest/gtest.h>

#include "code_page.h"
#include "utf8.h"

namespace velmor::text {
namespace {

struct DecodeCase {
  const char *name;
  std::string bytes;
  std::u16string text;
};

const DecodeCase kDecodeCases[] = {
    {"OneToFourBytes", "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", u"a\u00E9\u4E2D\U0001F600"},
    {"HighestCharacter", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    // Every byte of a sequence that is not one becomes U+FFFD; the next byte starts afresh.
    {"TruncatedAtTheEnd", "\xE4\xB8", u"\uFFFD\uFFFD"},
    {"TruncatedBeforeAscii", "\xE4\xB8z", u"\uFFFD\uFFFDz"},
    {"LoneContinuation", "\x80x", u"\uFFFDx"},
    {"OverlongTwoBytes", "\xC0\xAF", u"\uFFFD\uFFFD"},
    {"OverlongThreeBytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
    {"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
    {"BeyondU10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    // F5 to FF start nothing, whatever follows them.
    {"LeadF5BeforeContinuations", "\xF5\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
    {"LeadFFBeforeContinuations", "\xFF\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
};

class Utf8Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decode, GivesTheCharactersOrReplacementPerByte) {
  EXPECT_EQ(Utf8ToUtf16(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, Utf8Decode, ::testing::ValuesIn(kDecodeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Utf8Encode, PairsJoinAndLoneHalvesAreReplaced) {
  EXPECT_EQ(Utf16ToUtf8(u"a\u00E9\u4E2D\U0001F600"), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\xD83D"
                                       u"a\xDE00")),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD");
  // The host's code page is UTF-8 and, like a Windows one, writes what it lacks as '?'.
  EXPECT_EQ(Utf16ToAnsi(std::u16string(u"\xDE00\xD83D")), "??");
  EXPECT_EQ(Utf16ToAnsi(u"\u4E2D\U0001F600"), "\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

} // namespace
} // namespace velmor::text
