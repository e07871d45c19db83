// Other programs' top-level windows, found and asked to close by their title,
// the way the programs close the system's removal warning and the file
// explorer windows showing a drive. On Linux these are X11 windows: titles come
// from _NET_WM_NAME (UTF-8) or WM_NAME (Latin-1), a close is a WM_DELETE_WINDOW
// request. Without an X11 display nothing is found and nothing is closed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

using WindowId = uint32_t; // 0: no window

struct TopLevelWindow {
    WindowId id = 0;
    std::string title; // UTF-8
};

// One connection to the display named by $DISPLAY, kept for repeated looks (the
// removal watcher looks every 20 ms). Use from one thread at a time.
class WindowList {
public:
    WindowList();
    ~WindowList();
    WindowList(const WindowList &) = delete;
    WindowList &operator=(const WindowList &) = delete;

    bool connected() const;

    // Every top-level window that carries a title, in stacking order.
    std::vector<TopLevelWindow> windows();
    // The first top-level window whose title is exactly utf8Title; 0 when none.
    WindowId find(const std::string &utf8Title);
    // Asks the window to close (WM_DELETE_WINDOW); the request is on its way
    // when this returns. False without a display or for a window that is gone.
    bool close(WindowId window);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A title given as bytes of a code page (936, 950, 1252, ...) as UTF-8.
std::string titleFromCodePage(const std::string &bytes, uint32_t codePage);

// Asks every top-level window whose title contains utf8Text to close; the number
// of windows asked.
int closeWindowsWhoseTitleContains(const std::string &utf8Text);

} // namespace platform
