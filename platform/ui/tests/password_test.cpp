// The one password rule of every program, on each system's own converter: the
// text in the ANSI code page of the user's locale, the same length limit, and
// the refusals. Built for Linux and, under Wine, for Windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/Locale.h"

using platform::PasswordCheck;

namespace {

PasswordCheck check(const std::string &utf8, uint32_t codePage, std::string *bytes) {
    return platform::passwordBytes(utf8, codePage, bytes);
}

} // namespace

TEST(PasswordBytes, TheTextInTheCodePageOfTheUsersLanguage) {
    std::string b;
    // "密碼" (password) in Big5 and in GBK, "비밀" in code page 949, and Latin
    // letters with the euro sign in Windows-1252: the bytes the original
    // platform's edits give for them.
    EXPECT_EQ(check("\xE5\xAF\x86\xE7\xA2\xBC", 950, &b), PasswordCheck::Usable);
    EXPECT_EQ(b, "\xB1\x4B\xBD\x58");
    EXPECT_EQ(check("\xE5\xAF\x86\xE7\xA0\x81", 936, &b), PasswordCheck::Usable);
    EXPECT_EQ(b, "\xC3\xDC\xC2\xEB");
    EXPECT_EQ(check("\xEB\xB9\x84\xEB\xB0\x80", 949, &b), PasswordCheck::Usable);
    EXPECT_EQ(b, "\xBA\xF1\xB9\xD0");
    EXPECT_EQ(check("\xC3\x9Cn\xC3\xAF\xE2\x82\xAC", 1252, &b), PasswordCheck::Usable);
    EXPECT_EQ(b, "\xDCn\xEF\x80");
    EXPECT_EQ(check("", 1252, &b), PasswordCheck::Usable);
    EXPECT_EQ(b, "");

    // The user's own code page by default.
#ifdef _WIN32
    EXPECT_EQ(platform::passwordBytes("Open Sesame", &b), PasswordCheck::Usable);
    EXPECT_EQ(b, "Open Sesame");
#else
    setenv("LC_ALL", "zh_TW.UTF-8", 1);
    EXPECT_EQ(platform::passwordBytes("\xE5\xAF\x86\xE7\xA2\xBC", &b), PasswordCheck::Usable);
    EXPECT_EQ(b, "\xB1\x4B\xBD\x58");
    unsetenv("LC_ALL");
#endif
}

TEST(PasswordBytes, RefusalsLeaveNoBytes) {
    std::string b = "left over";
    // Hanzi in Windows-1252, Hangul in Big5, and U+0100, which a best fit
    // would have turned into a plain 'A'.
    EXPECT_EQ(check("ab\xE5\xAF\x86", 1252, &b), PasswordCheck::OutsideCodePage);
    EXPECT_EQ(b, "");
    EXPECT_EQ(check("\xEB\xB9\x84", 950, &b), PasswordCheck::OutsideCodePage);
    EXPECT_EQ(check("\xC4\x80", 1252, &b), PasswordCheck::OutsideCodePage);
    // Bytes that are no UTF-8 text, an overlong form, and a NUL.
    EXPECT_EQ(check("\xFF", 1252, &b), PasswordCheck::NotText);
    EXPECT_EQ(check("\xC0\xAF", 1252, &b), PasswordCheck::NotText);
    EXPECT_EQ(check(std::string("a\0b", 3), 1252, &b), PasswordCheck::NotText);
    // Twenty characters, whatever their bytes, and not one more.
    EXPECT_EQ(check(std::string(20, 'x'), 1252, &b), PasswordCheck::Usable);
    EXPECT_EQ(check(std::string(21, 'x'), 1252, &b), PasswordCheck::TooLong);
    std::string twentyHanzi;
    for (int i = 0; i < 20; ++i) twentyHanzi += "\xE5\xAF\x86";
    EXPECT_EQ(check(twentyHanzi, 950, &b), PasswordCheck::Usable);
    EXPECT_EQ(b.size(), 40u);
    EXPECT_EQ(check(twentyHanzi + "x", 950, &b), PasswordCheck::TooLong);
}
