// The removal-warning watcher against real X11 windows on a private server:
// the four titles in table order, one close per run, and the stop request.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "Apmain.h"
#include "MainFrmFakes.h"
#include "QtTestApp.h"
#include "XServer.h"

namespace {

const char *const kUnsafeEn = "Unsafe Removal of Device";
const char *const kUnsafeZhCn = "不安全的设备删除";
const char *const kUnsafeZhTw1 = "不安全的移除裝置";
const char *const kUnsafeZhTw2 = "非安全方式移除裝置";

} // namespace

TEST(Watcher, ClosesTheFirstWarningInTableOrderOnceAndEnds) {
    xtest::XServer server;
    ASSERT_TRUE(server.running()) << "Xvfb did not start";
    xtest::Client client;
    ASSERT_TRUE(client.ok());
    client.create(std::string(kUnsafeEn) + " "); // not exactly a warning title
    const auto last = client.create(kUnsafeZhTw2);
    const auto second = client.create(kUnsafeZhCn);
    client.create(kUnsafeZhTw1);
    client.sync();

    TMainFrm frm;
    frm.StopWatcher = false;
    ASSERT_TRUE(frm.BMKillTryThread->Start());
    ASSERT_TRUE(fakes::waitFor([&] { return frm.StopWatcher.load(); }, 30000));
    EXPECT_FALSE(frm.BMKillTryThread->Running());
    // Only the first title of the table that has a window was asked to close.
    EXPECT_EQ(client.closeRequests(200), std::vector<xcb_window_t>{second});

    // Not restarted: a later warning stays.
    client.create(kUnsafeEn);
    client.sync();
    fakes::waitFor([] { return false; }, 100);
    EXPECT_EQ(client.closeRequests(100), std::vector<xcb_window_t>{second});
    (void)last;
}

TEST(Watcher, FindsEachTitleAndStopsOnRequest) {
    xtest::XServer server;
    ASSERT_TRUE(server.running()) << "Xvfb did not start";
    xtest::Client client;
    for (const char *title : {kUnsafeEn, kUnsafeZhTw1, kUnsafeZhTw2}) {
        TMainFrm frm;
        frm.StopWatcher = false;
        ASSERT_TRUE(frm.BMKillTryThread->Start());
        fakes::waitFor([] { return false; }, 60); // a few idle looks first
        EXPECT_TRUE(frm.BMKillTryThread->Running());
        const auto w = client.create(title);
        client.sync();
        ASSERT_TRUE(fakes::waitFor([&] { return frm.StopWatcher.load(); }, 30000)) << title;
        const auto closed = client.closeRequests(100);
        ASSERT_FALSE(closed.empty()) << title;
        EXPECT_EQ(closed.back(), w) << title;
        client.destroy(w); // as the warning does when asked to close
        client.sync();
    }
    // No warning: the stop request ends the watcher within a look or two.
    TMainFrm frm;
    frm.StopWatcher = false;
    ASSERT_TRUE(frm.BMKillTryThread->Start());
    fakes::waitFor([] { return false; }, 50);
    QElapsedTimer t;
    t.start();
    frm.StopWatcher = true;
    frm.BMKillTryThread->Wait();
    EXPECT_LT(t.elapsed(), 500);
}
