// A top-level window of the test process with a given title, on a thread of its
// own with its own message loop, that counts the WM_CLOSE requests it receives
// and stays open (so that a second request would be counted too). It stands in
// for another program's window, such as an explorer window showing a drive.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

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
        wc.lpszClassName = L"TitledTestWindow";
        RegisterClassW(&wc); // a second registration fails harmlessly
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
