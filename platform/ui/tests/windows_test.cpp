// Other programs' windows on a private X server: titles in UTF-8 and Latin-1,
// titles given as code-page bytes, exact and partial matches, close requests.
#include <gtest/gtest.h>

#include <algorithm>

#include "XServer.h"
#include "platform/Windows.h"

using namespace platform;

TEST(Windows, WithoutDisplayNothingIsFoundOrClosed) {
    const char *old = std::getenv("DISPLAY");
    std::string saved = old ? old : "";
    unsetenv("DISPLAY");
    WindowList list;
    EXPECT_FALSE(list.connected());
    EXPECT_TRUE(list.windows().empty());
    EXPECT_EQ(list.find("Unsafe Removal of Device"), 0u);
    EXPECT_FALSE(list.close(1234));
    EXPECT_EQ(closeWindowsWhoseTitleContains("E:"), 0);
    if (old) setenv("DISPLAY", saved.c_str(), 1);
}

TEST(Windows, FindsExactTitlesAndAsksThemToClose) {
    xtest::XServer server;
    ASSERT_TRUE(server.running()) << "Xvfb did not start";
    xtest::Client client;
    ASSERT_TRUE(client.ok());
    const auto gbk = client.create("不安全的设备删除");
    const auto big5 = client.create("非安全方式移除裝置");
    const auto latin = client.createLatin1("Caf\xE9 Unsafe");
    client.create("Unsafe Removal of Device (copy)");
    client.sync();

    WindowList list;
    ASSERT_TRUE(list.connected());
    EXPECT_GE(list.windows().size(), 4u);
    // Titles handed over as the bytes of their code pages.
    const std::string gbkTitle =
        titleFromCodePage("\xB2\xBB\xB0\xB2\xC8\xAB\xB5\xC4\xC9\xE8\xB1\xB8\xC9\xBE\xB3\xFD", 936);
    const std::string big5Title =
        titleFromCodePage("\xAB\x44\xA6\x77\xA5\xFE\xA4\xE8\xA6\xA1\xB2\xBE\xB0\xA3\xB8\xCB\xB8\x6D", 950);
    EXPECT_EQ(list.find(gbkTitle), gbk);
    EXPECT_EQ(list.find(big5Title), big5);
    EXPECT_EQ(list.find("Café Unsafe"), latin);
    EXPECT_EQ(list.find("Unsafe Removal of Device"), 0u); // exact titles only
    EXPECT_EQ(list.find(""), 0u);

    EXPECT_TRUE(list.close(big5));
    EXPECT_FALSE(list.close(0));
    EXPECT_EQ(client.closeRequests(), std::vector<xcb_window_t>{big5});
}

TEST(Windows, ClosesEveryWindowWhoseTitleShowsADrive) {
    xtest::XServer server;
    ASSERT_TRUE(server.running()) << "Xvfb did not start";
    xtest::Client client;
    const auto a = client.create("SECURE (E:)");
    client.create("DATA (F:)");
    const auto b = client.create("E:\\");
    client.sync();
    EXPECT_EQ(closeWindowsWhoseTitleContains("E:"), 2);
    auto closed = client.closeRequests();
    std::sort(closed.begin(), closed.end());
    std::vector<xcb_window_t> expected{a, b};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(closed, expected);
}
