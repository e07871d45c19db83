// Code-page texts and locale names as Windows converts them: the language files'
// double-byte code pages, the line-break marker "~~" next to trail bytes, bad
// bytes, and the locale identifiers the language files are named after.
#include <gtest/gtest.h>

#include "platform/Locale.h"

using platform::decodeCodePage;
using platform::encodeCodePage;

namespace {
const std::string kReplacement = "\xEF\xBF\xBD"; // U+FFFD in UTF-8
}

TEST(DecodeCodePage, LanguageFileTextsOfEachCodePage) {
    EXPECT_EQ(decodeCodePage("\xA4\xA4\xA4\xE5", 950), "\xE4\xB8\xAD\xE6\x96\x87"); // Big5
    EXPECT_EQ(decodeCodePage("\xD6\xD0\xCE\xC4", 936), "\xE4\xB8\xAD\xE6\x96\x87"); // GBK
    EXPECT_EQ(decodeCodePage("\xC7\xD1\xB1\xB9\xBE\xEE", 949),
              "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4"); // Korean
    EXPECT_EQ(decodeCodePage("Caf\xE9", 1252), "Caf\xC3\xA9");
    EXPECT_EQ(decodeCodePage("", 950), "");
}

TEST(DecodeCodePage, TildeAsTrailByteIsNotALineBreakMarker) {
    // In Big5 and GBK 0x7E ('~') is also a trail byte: A4 7E is one character,
    // so "A4 7E 7E" holds one tilde, not the marker "~~".
    const std::string big5 = decodeCodePage("\xA4\x7E~x", 950);
    EXPECT_EQ(big5, "\xE6\x89\x8D~x"); // U+624D
    EXPECT_EQ(big5.find("~~"), std::string::npos);
    const std::string gbk = decodeCodePage("\x81\x7E~x", 936);
    EXPECT_EQ(gbk, "\xE4\xBA\x8A~x"); // U+4E8A
    // A real marker between two characters survives decoding in all three.
    EXPECT_EQ(decodeCodePage("\xA4\xA4~~\xA4\xE5", 950), "\xE4\xB8\xAD~~\xE6\x96\x87");
    EXPECT_EQ(decodeCodePage("\xD6\xD0~~\xCE\xC4", 936), "\xE4\xB8\xAD~~\xE6\x96\x87");
    EXPECT_EQ(decodeCodePage("\xC7\xD1~~\xB1\xB9", 949), "\xED\x95\x9C~~\xEA\xB5\xAD");
}

TEST(DecodeCodePage, BadBytesBecomeReplacementCharactersWithoutEatingTheirNeighbours) {
    // A lead byte cut off at the end of the text.
    EXPECT_EQ(decodeCodePage("ab\xA4", 950), "ab" + kReplacement);
    // A lead byte followed by a byte that cannot trail it: the blank stays.
    EXPECT_EQ(decodeCodePage("\xA4 A", 950), kReplacement + " A");
    EXPECT_EQ(decodeCodePage("\xB0 \xC7\xD1", 949), kReplacement + " \xED\x95\x9C");
}

TEST(EncodeCodePage, RoundTripAndCharactersTheCodePageLacks) {
    EXPECT_EQ(encodeCodePage("\xE4\xB8\xAD\xE6\x96\x87", 950), "\xA4\xA4\xA4\xE5");
    EXPECT_EQ(encodeCodePage("\xE4\xB8\xAD\xE6\x96\x87", 936), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(encodeCodePage("Caf\xC3\xA9", 1252), "Caf\xE9");
    // Hangul has no place in Windows-1252; no look-alike is put in its stead.
    EXPECT_EQ(encodeCodePage("a\xED\x95\x9C"
                             "b",
                             1252),
              "a?b");
    // U+0100 (A with macron) would best-fit to a plain 'A'.
    EXPECT_EQ(encodeCodePage("\xC4\x80", 1252), "?");
}

TEST(Locale, NamesAndTheCodePagesOfTheirLanguageFiles) {
    struct Case {
        const char *posix;
        uint32_t lcid, codePage;
    } cases[] = {
        {"zh_TW.UTF-8", 1028, 950}, {"zh_CN.GBK", 2052, 936}, {"ko_KR", 1042, 949}, {"en_US.UTF-8@euro", 1033, 1252},
        {"de_DE", 1031, 1252},      {"zh_HK", 3076, 950},     {"zh_SG", 4100, 936}, {"ja_JP", 1041, 932}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.posix);
        EXPECT_EQ(platform::lcidForLocale(c.posix), c.lcid);
        EXPECT_EQ(platform::ansiCodePage(c.lcid), c.codePage);
    }
    for (const char *unknown : {"", "C", "POSIX", "xx_YY", "C.UTF-8"}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(platform::lcidForLocale(unknown), 1033u);
    }
}
