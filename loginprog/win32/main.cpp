// Sarvik.exe for Windows: the login program the launcher unpacks and starts
// with the drive root of the flash disk it was started from.
#include <windows.h>

#include <string>

#include "LoginWindow.h"
#include "StartParameter.h"

namespace {

// The command line after the program name. A parameter the caller put in
// quotes ("E:\") counts without them: the backslash before the closing quote
// would otherwise be read as escaping it.
std::string startParameter(const char *rest) {
    std::string p = rest ? rest : "";
    const size_t first = p.find_first_not_of(" \t");
    p = first == std::string::npos ? std::string() : p.substr(first);
    if (!p.empty() && p.front() == '"') {
        const size_t close = p.find('"', 1);
        p = p.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return p;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    sarvik::StartParameter = startParameter(commandLine);
    sarvik::LoginWindow form;
    HWND window = form.create(instance);
    if (!window) return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // The login form is a modeless dialog: Tab, Enter and Esc go through it.
        if (form.hwnd() && IsDialogMessageW(form.hwnd(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
