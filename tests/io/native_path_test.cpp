// File names between the program's narrow form and the system's: UTF-8 <-> UTF-16 that gives
// back every UTF-16 name exactly, and on Windows the exact paths that those narrow names open.
#include "io/native_path.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

TEST(NativePathText, Utf16RoundTripsExactlyThroughUtf8) {
    const std::u16string names[] = {
        u"",
        u"image.bmp",
        u"\u007F\u0080\u07FF\u0800\uFFFF",     // each sequence length's ends
        u"Ünï 写真 \U0001F5BC\U0010FFFF.bmp",  // surrogate pairs
        {char16_t{0xD800}, u'a'},              // a lone high surrogate
        {u'b', char16_t{0xDFFF}},              // a lone low surrogate
        {char16_t{0xDC00}, char16_t{0xD800}},  // two surrogates in the wrong order
    };
    for (const std::u16string& name : names) {
        EXPECT_EQ(Utf16FromUtf8(Utf8FromUtf16(name)), name);
    }
    EXPECT_EQ(Utf8FromUtf16(u"Ünï 写\U0001F5BC"), "\xC3\x9Cn\xC3\xAF \xE5\x86\x99\xF0\x9F\x96\xBC");
    EXPECT_EQ(Utf8FromUtf16(std::u16string(1, char16_t{0xD83D})), "\xED\xA0\xBD");
}

TEST(NativePathText, InvalidUtf8BecomesReplacementCharacters) {
    constexpr char16_t r = 0xFFFD;
    EXPECT_EQ(Utf16FromUtf8("a\x80z"), (std::u16string{u'a', r, u'z'}));  // stray continuation
    EXPECT_EQ(Utf16FromUtf8("\xC0\xAF"), (std::u16string{r, r}));         // overlong '/'
    EXPECT_EQ(Utf16FromUtf8("\xE5\x86"), (std::u16string{r, r}));         // cut short at the end
    EXPECT_EQ(Utf16FromUtf8("\xE5(x"), (std::u16string{r, u'(', u'x'}));  // cut short by ASCII
    EXPECT_EQ(Utf16FromUtf8("\xF4\x90\x80\x80"), (std::u16string{r, r, r, r}));  // > U+10FFFF
    EXPECT_EQ(Utf16FromUtf8("\xFF"), (std::u16string{r}));
}

#ifdef _WIN32
// The narrow names that the front ends hand down carry the exact UTF-16 paths: two names whose
// ANSI forms are the same ("?.bmp") open two different files.
TEST(NativePathExact, NarrowNamesOpenTheExactUtf16Paths) {
    testing::TempDir dir;
    const std::wstring input = (dir.Path() / L"\u5199.bmp").wstring();
    const std::wstring output = (dir.Path() / L"\u771F.bmp").wstring();
    const std::string inputName = Utf8FromUtf16(std::u16string(input.begin(), input.end()));
    const std::string outputName = Utf8FromUtf16(std::u16string(output.begin(), output.end()));
    EXPECT_EQ(NativePath(inputName.c_str()).wstring(), input);
    EXPECT_EQ(NarrowName(NativePath(outputName.c_str())), outputName);
    std::FILE* file = OpenFile(outputName.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(std::filesystem::exists(output));
    EXPECT_FALSE(std::filesystem::exists(input));
}
#endif

}  // namespace
}  // namespace cbmp
