// The one pair of UTF-8/UTF-16 converters: valid text goes through unchanged; bad input
// becomes U+FFFD, one for each maximal part of an ill-formed UTF-8 sequence and one for each
// unpaired surrogate.
#include "platform/Kernel.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf, Utf8ToUtf16)
{
    const struct {
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {"plain", u"plain"},
        {"\xE4\xB8\xAD\xE6\x96\x87", u"中文"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        // A stray continuation byte, and bytes that never start a sequence.
        {"\x80x", u"\uFFFDx"},
        {"\xFF\xFE", u"\uFFFD\uFFFD"},
        {"\xF5\x80", u"\uFFFD\uFFFD"},
        // Sequences cut short: the lead byte and the continuation bytes that fit it are one.
        {"\xE4\xB8"
         "a",
         u"\uFFFDa"},
        {"\xF0\x9F\x98", u"\uFFFD"},
        {"\xE4\xB8\xF0\x9F\x98\x80", u"\uFFFD\U0001F600"},
        // Overlong forms, surrogates and values past U+10FFFF: one for each byte.
        {"\xC0\x80", u"\uFFFD\uFFFD"},
        {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        // The largest values each length allows.
        {"\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\u07FF\uFFFF\U0010FFFF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromUtf8(c.bytes), c.text) << c.bytes;
        std::u16string appended = u">";
        appendUtf8(appended, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(appended, u">" + c.text) << c.bytes;
    }
}

TEST(Utf, Utf16ToUtf8)
{
    const struct {
        std::u16string text;
        std::string bytes;
    } cases[] = {
        {u"plain", "plain"},
        {u"中文\U0001F600", "\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80"},
        {std::u16string(1, char16_t(0xD800)) + u"a", "\xEF\xBF\xBD"
                                                     "a"},
        {std::u16string(1, char16_t(0xDC00)), "\xEF\xBF\xBD"},
        {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"x" + std::u16string(1, char16_t(0xD83D)), "x\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toUtf8(c.text), c.bytes);
        EXPECT_EQ(toUtf8(c.text.c_str()), c.bytes);
        // What comes out is valid UTF-8 and reads back as the text with U+FFFD in its gaps.
        EXPECT_EQ(toUtf8(fromUtf8(c.bytes)), c.bytes);
    }
}

} // namespace
