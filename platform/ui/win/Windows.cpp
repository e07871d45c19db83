// Other programs' top-level windows on Windows: enumerated with EnumWindows,
// titles read as UTF-16 and compared as UTF-8, a close is a posted WM_CLOSE
// (the window's owner decides, as when the user clicks its close box).
#include "platform/Windows.h"

#include <windows.h>

#include "platform/Locale.h"

namespace platform {
namespace {

// Window handles are 32-bit values even in 64-bit processes, so that they can
// be passed between 32- and 64-bit programs; WindowId carries them as such.
WindowId idOf(HWND w) { return WindowId(reinterpret_cast<uintptr_t>(w)); }
HWND handleOf(WindowId id) { return reinterpret_cast<HWND>(uintptr_t(id)); }

std::string titleOf(HWND w) {
    const int length = GetWindowTextLengthW(w);
    if (length <= 0) return {};
    std::wstring title(size_t(length) + 1, L'\0');
    const int got = GetWindowTextW(w, title.data(), length + 1);
    if (got <= 0) return {};
    title.resize(size_t(got));
    const int n = WideCharToMultiByte(CP_UTF8, 0, title.data(), got, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, title.data(), got, out.data(), n, nullptr, nullptr);
    return out;
}

BOOL CALLBACK collect(HWND w, LPARAM param) {
    auto *out = reinterpret_cast<std::vector<TopLevelWindow> *>(param);
    std::string title = titleOf(w);
    if (!title.empty()) out->push_back({idOf(w), std::move(title)});
    return TRUE;
}

} // namespace

struct WindowList::Impl {};

WindowList::WindowList() : impl_(std::make_unique<Impl>()) {}
WindowList::~WindowList() = default;

// The desktop is always there for a Windows program.
bool WindowList::connected() const { return true; }

std::vector<TopLevelWindow> WindowList::windows() {
    std::vector<TopLevelWindow> out;
    EnumWindows(collect, reinterpret_cast<LPARAM>(&out)); // in Z order, topmost first
    return out;
}

WindowId WindowList::find(const std::string &utf8Title) {
    for (const TopLevelWindow &w : windows())
        if (w.title == utf8Title) return w.id;
    return 0;
}

bool WindowList::close(WindowId window) {
    const HWND w = handleOf(window);
    if (!window || !IsWindow(w)) return false;
    return PostMessageA(w, WM_CLOSE, 0, 0) != 0;
}

std::string titleFromCodePage(const std::string &bytes, uint32_t codePage) { return decodeCodePage(bytes, codePage); }

int closeWindowsWhoseTitleContains(const std::string &utf8Text) {
    if (utf8Text.empty()) return 0;
    WindowList list;
    int asked = 0;
    for (const TopLevelWindow &w : list.windows())
        if (w.title.find(utf8Text) != std::string::npos && list.close(w.id)) ++asked;
    return asked;
}

} // namespace platform
