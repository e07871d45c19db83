// Host file names in the ANSI code page: names converted into it, and its
// upper-casing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/FileNames.h"

using namespace platform;

TEST(FileNames, UpperCasingFollowsTheCodePage) {
#ifdef _WIN32
    // The system upper-cases in its own code page.
    if (fileNameCodePage() != 1252) GTEST_SKIP() << "the system's code page is not 1252";
#endif
    // é ÿ š œ ž become É Ÿ Š Œ Ž; ß, µ and ÷ have no capital in 1252.
    EXPECT_EQ(upperAnsi("a\xe9\xff\x9a\x9c\x9e\xdf\xb5\xf7z", 1252), "A\xc9\x9f\x8a\x8c\x8e\xdf\xb5\xf7Z");
#ifndef _WIN32
    // Big5 0xC9 0x63: the second byte of a character is no letter 'c'.
    EXPECT_EQ(upperAnsi("x\xc9\x63y", 950), "X\xc9\x63Y");
#endif
}

#ifndef _WIN32
// Which locale names which code page: platform_ui's file_name_code_page_test.
TEST(FileNames, NamesAreConvertedIntoTheUsersCodePage) {
    const char *saved = std::getenv("LC_ALL");
    const std::string old = saved ? saved : "";
    ::setenv("LC_ALL", "fr_FR.UTF-8", 1);
    // é converts; ą and 丱 are not in 1252, nor is a byte that starts no UTF-8.
    EXPECT_EQ(ansiFileName("\xc3\xa9t\xc3\xa9 \xc4\x85\xe4\xb8\xb1\xff.txt"), "\xe9t\xe9 ___.txt");
    ::setenv("LC_ALL", "zh_TW.UTF-8", 1);
    EXPECT_EQ(ansiFileName("\xe4\xb8\xb1x"), "\xc9\x63x");
    if (saved)
        ::setenv("LC_ALL", old.c_str(), 1);
    else
        ::unsetenv("LC_ALL");
}
#endif
