// Top-level windows found and asked to close by their titles, as the login
// program closes the explorer windows that show its drive: windows of this
// process, each thread with its own message loop, so that a close request is
// seen the way another program would see it.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Locale.h"
#include "platform/Windows.h"

namespace {

// A top-level window with a UTF-16 title that counts the WM_CLOSE it receives
// (and stays open, so that a second request would be counted too).
class TitledWindow {
public:
    explicit TitledWindow(const std::wstring &title) {
        thread_ = std::thread([this, title] { run(title); });
        while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~TitledWindow() {
        PostMessageW(hwnd_, WM_APP, 0, 0);
        thread_.join();
    }
    HWND hwnd() const { return hwnd_; }
    // WM_CLOSE requests received, after waiting up to ms for the first.
    int closesAfter(int ms) const {
        for (int waited = 0; closes_ == 0 && waited < ms; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return closes_;
    }

private:
    static LRESULT CALLBACK proc(HWND h, UINT m, WPARAM w, LPARAM l) {
        auto *self = reinterpret_cast<TitledWindow *>(GetWindowLongPtrW(h, GWLP_USERDATA));
        if (m == WM_CLOSE && self) {
            ++self->closes_;
            return 0;
        }
        if (m == WM_APP) {
            DestroyWindow(h);
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(h, m, w, l);
    }
    void run(const std::wstring &title) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"PlatformWindowsTest";
        RegisterClassW(&wc);   // a second registration fails harmlessly
        hwnd_ = CreateWindowExW(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        ready_ = true;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    }
    std::thread thread_;
    HWND hwnd_ = nullptr;
    std::atomic<bool> ready_{false};
    std::atomic<int> closes_{0};
};

} // namespace

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
}

TEST(WindowList, CloseOfNoWindowOrAGoneOneFails) {
    platform::WindowList list;
    EXPECT_FALSE(list.close(0));
    platform::WindowId gone = 0;
    {
        TitledWindow w(L"short-lived");
        gone = platform::WindowId(reinterpret_cast<uintptr_t>(w.hwnd()));
        EXPECT_NE(list.find("short-lived"), 0u);
    }
    EXPECT_FALSE(list.close(gone));
    EXPECT_EQ(list.find("short-lived"), 0u);
}
