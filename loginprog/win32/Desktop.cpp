#include "Desktop.h"

#include <shellapi.h>

#include <vector>

#include "platform/Locale.h"
#include "platform/Windows.h"

namespace sarvik {

int closeWindowsShowing(const std::string &text) {
    if (text.empty()) return 0;
    return platform::closeWindowsWhoseTitleContains(platform::titleFromCodePage(text, GetACP()));
}

bool exploreDrive(const std::string &driveText) {
    // Above 32 is success; anything else is one of the shell's error codes.
    const HINSTANCE r = ShellExecuteA(nullptr, "explore", driveText.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
    return reinterpret_cast<INT_PTR>(r) > 32;
}

void showMessage(HWND owner, const std::wstring &text) {
    std::wstring title;
    if (owner) {
        const int n = GetWindowTextLengthW(owner);
        title.resize(size_t(n) + 1);
        title.resize(size_t(GetWindowTextW(owner, title.data(), n + 1)));
    }
    MessageBoxW(owner, text.c_str(), title.c_str(), MB_OK | MB_ICONINFORMATION);
}

std::string readPassword(HWND edit) {
    wchar_t buffer[platform::kMaxPasswordChars + 1] = {};
    // A program may have put more into the edit than a user can type.
    const int n = GetWindowTextW(edit, buffer, int(platform::kMaxPasswordChars + 1));
    std::string out;
    if (n > 0) {
        const int m = WideCharToMultiByte(CP_UTF8, 0, buffer, n, nullptr, 0, nullptr, nullptr);
        out.assign(size_t(m > 0 ? m : 0), '\0');
        if (m > 0) WideCharToMultiByte(CP_UTF8, 0, buffer, n, out.data(), m, nullptr, nullptr);
    }
    SecureZeroMemory(buffer, sizeof buffer);
    return out;
}

void wipePassword(HWND edit) {
    const int n = GetWindowTextLengthW(edit);
    if (n > 0) {
        // Same length: the edit writes over its own buffer instead of taking a new one.
        const std::wstring blanks(size_t(n), L'\x2022');
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(blanks.c_str()));
    }
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    SendMessageW(edit, EM_EMPTYUNDOBUFFER, 0, 0);
}

void wipe(std::string &secret) {
    if (!secret.empty()) SecureZeroMemory(secret.data(), secret.size());
    secret.clear();
}

} // namespace sarvik
