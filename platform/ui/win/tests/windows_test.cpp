// Top-level windows found and asked to close by their titles, as the login
// program closes the explorer windows that show its drive.
#include <gtest/gtest.h>

#include <windows.h>

#include "TitledWindow.h"
#include "platform/Locale.h"
#include "platform/Windows.h"

TEST(WindowList, FindsTitlesGivenInACodePage) {
    TitledWindow chinese(L"\u4E2D\u6587 (E:)");
    ASSERT_NE(chinese.hwnd(), nullptr) << "no window: does Wine have a display driver?";
    platform::WindowList list;
    EXPECT_TRUE(list.connected());
    // The title as Big5 bytes, the way a language file would carry it.
    const std::string title = platform::titleFromCodePage("\xA4\xA4\xA4\xE5 (E:)", 950);
    EXPECT_EQ(list.find(title), platform::WindowId(reinterpret_cast<uintptr_t>(chinese.hwnd())));
    EXPECT_EQ(list.find("\xE4\xB8\xAD\xE6\x96\x87"), 0u) << "find matches whole titles only";
}

TEST(WindowList, ClosesExactlyTheWindowsWhoseTitlesContainTheText) {
    TitledWindow explorer(L"Removable Disk (E:)");
    TitledWindow path(L"E:\\Documents");
    TitledWindow other(L"Removable Disk (F:)");
    TitledWindow lower(L"e:\\lower case");
    ASSERT_NE(explorer.hwnd(), nullptr);

    EXPECT_EQ(platform::closeWindowsWhoseTitleContains("(E:)"), 1);
    EXPECT_EQ(platform::closeWindowsWhoseTitleContains("E:\\"), 1);
    EXPECT_EQ(explorer.closesAfter(2000), 1);
    EXPECT_EQ(path.closesAfter(2000), 1);
    EXPECT_EQ(other.closesAfter(200), 0);
    EXPECT_EQ(lower.closesAfter(200), 0);
    // An empty text would match every window on the desktop.
    EXPECT_EQ(platform::closeWindowsWhoseTitleContains(""), 0);
    EXPECT_FALSE(platform::WindowList().close(0));
}
