#include "library/path_text.h"

#include <gtest/gtest.h>

#include <string>

namespace cbmp {
namespace {

TEST(Utf16ToUtf8, EncodesEachCodePointWithTheShortestSequence) {
    EXPECT_EQ(Utf16ToUtf8(u""), "");
    EXPECT_EQ(Utf16ToUtf8(u"image.bmp"), "image.bmp");
    // The last code point of each sequence length and the first of the next one.
    EXPECT_EQ(Utf16ToUtf8(u"\u007F\u0080"), "\x7F\xC2\x80");
    EXPECT_EQ(Utf16ToUtf8(u"\u07FF\u0800"), "\xDF\xBF\xE0\xA0\x80");
    EXPECT_EQ(Utf16ToUtf8(u"\uFFFF\U00010000"), "\xEF\xBF\xBF\xF0\x90\x80\x80");
    EXPECT_EQ(Utf16ToUtf8(u"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
    // Cyrillic, CJK and an emoji (a surrogate pair) in one name.
    EXPECT_EQ(Utf16ToUtf8(u"ж漢😀.bmp"), "\xD0\xB6\xE6\xBC\xA2\xF0\x9F\x98\x80.bmp");
}

TEST(Utf16ToUtf8, TurnsEveryUnpairedSurrogateIntoAQuestionMark) {
    const char16_t highAtEnd[] = {u'a', 0xD83D, 0};
    const char16_t highBeforeText[] = {0xD83D, u'b', 0};
    const char16_t loneLow[] = {u'a', 0xDE00, u'b', 0};
    const char16_t reversedPair[] = {0xDE00, 0xD83D, 0};
    const char16_t twoHighsThenLow[] = {0xD83D, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(Utf16ToUtf8(highAtEnd), "a?");
    EXPECT_EQ(Utf16ToUtf8(highBeforeText), "?b");
    EXPECT_EQ(Utf16ToUtf8(loneLow), "a?b");
    EXPECT_EQ(Utf16ToUtf8(reversedPair), "??");
    EXPECT_EQ(Utf16ToUtf8(twoHighsThenLow), "?\xF0\x9F\x98\x80");
}

TEST(Utf16ToUtf8, NeverCutsALongPathShort) {
    // 3,000 CJK characters need 9,000 bytes, far beyond two bytes per UTF-16 unit.
    const std::u16string wide(3000, u'漢');
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        expected += "\xE6\xBC\xA2";
    }
    EXPECT_EQ(Utf16ToUtf8(wide.c_str()), expected);
}

TEST(NarrowPath, RefusesANullPathAndConvertsOthersToUtf8) {
    std::string narrow = "unchanged";
    EXPECT_FALSE(NarrowPath(nullptr, narrow));
    EXPECT_EQ(narrow, "unchanged");
    ASSERT_TRUE(NarrowPath(u"dir/изображение.bmp", narrow));
    EXPECT_EQ(narrow,
              "dir/\xD0\xB8\xD0\xB7\xD0\xBE\xD0\xB1\xD1\x80\xD0\xB0\xD0\xB6\xD0\xB5"
              "\xD0\xBD\xD0\xB8\xD0\xB5.bmp");
}

}  // namespace
}  // namespace cbmp
