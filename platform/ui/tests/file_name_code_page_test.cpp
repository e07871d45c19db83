// The device library finds the code page of file names without ICU; it must be
// the code page the windowed programs take for the user's locale.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/FileNames.h"
#include "platform/Locale.h"

#ifndef _WIN32
TEST(FileNameCodePage, IsTheAnsiCodePageOfTheUsersLocaleIdentifier) {
    const char *saved = std::getenv("LC_ALL");
    const std::string old = saved ? saved : "";
    for (const char *locale : {"en_US.UTF-8", "de_DE", "zh_TW.UTF-8", "zh_HK", "zh_MO", "zh_CN.UTF-8", "zh_SG",
                               "ko_KR.UTF-8", "ja_JP.UTF-8", "C", "POSIX"}) {
        ::setenv("LC_ALL", locale, 1);
        EXPECT_EQ(platform::fileNameCodePage(), platform::ansiCodePage(platform::userDefaultLcid())) << locale;
    }
    if (saved)
        ::setenv("LC_ALL", old.c_str(), 1);
    else
        ::unsetenv("LC_ALL");
}
#endif
