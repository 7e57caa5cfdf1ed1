// Windows-1252 text: every byte round trips through UTF-16 and UTF-8.
#include "platform/Text.h"

#include <gtest/gtest.h>

TEST(Text, AllBytesRoundTripThroughUtf16AndUtf8) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(plat::Utf16ToAnsi(plat::AnsiToUtf16(all)), all);
    EXPECT_EQ(plat::Utf8ToAnsi(plat::AnsiToUtf8(all)), all);
    for (unsigned char undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
        EXPECT_EQ(plat::AnsiCharToUtf16(undefined), char16_t(undefined));
    EXPECT_EQ(plat::AnsiCharToUtf16(0x80), u'\u20AC');
    EXPECT_EQ(plat::AnsiCharToUtf16(0x9F), u'\u0178');
}

TEST(Text, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    EXPECT_EQ(plat::Utf16ToAnsi(u"a\u4E2Db"), "a?b");
    EXPECT_EQ(plat::Utf16ToAnsi(std::u16string(u"x\xD83D\xDE00y")), "x?y");
    EXPECT_EQ(plat::Utf8ToAnsi("\xF0\x9F\x98\x80!"), "?!");
    EXPECT_EQ(plat::Utf8ToAnsi("\xFF"), "?");
    // A broken sequence costs one character and the text goes on; one cut short ends it.
    EXPECT_EQ(plat::Utf8ToAnsi("a\xC3(b"), "a?(b");
    EXPECT_EQ(plat::Utf8ToAnsi("a\xE2\x82"), "a?");
}

TEST(Text, CaseFoldingIgnoresTheLocale) {
    EXPECT_TRUE(plat::SameTextAscii("Settings", "SETTINGS"));
    EXPECT_FALSE(plat::SameTextAscii("Settings", "SETTING"));
    // Only ASCII letters fold: an accented letter stays itself.
    EXPECT_EQ(plat::AsciiUpper("caf\xE9"), "CAF\xE9");
}
