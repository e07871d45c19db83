// The login form "LoginFrm" as a Win32 dialog: it opens the flash disk the
// launcher was started from, checks the owner's password, closes the explorer
// windows that show the drive, logs the secure area in and explores the drive;
// from it the owner can also change the password.
#pragma once

#include <string>
#include <windows.h>

#include "DiskControl.h"
#include "Quendal.h"

namespace sarvik {

class LoginWindow {
public:
    LoginWindow() = default;
    ~LoginWindow();
    LoginWindow(const LoginWindow &) = delete;
    LoginWindow &operator=(const LoginWindow &) = delete;

    // Creates the dialog (running FormCreate before it shows) and shows it;
    // null when the window could not be made.
    HWND create(HINSTANCE instance);
    HWND hwnd() const { return hwnd_; }

    int TriesLeft = 3;
    // The device refused raw access (InitFlashDisk answered 2): the library logs
    // in by writing the login file and compares nothing beforehand.
    bool FileLoginOnly = false;
    TDiskControl *DiskControl = nullptr;
    // Bound by name like the others, never called.
    decltype(&::GetOsVersion) GetOsVersion = nullptr;
    bool Usable = false;
    InitDiskParams ParamBlock{};
    std::string LanguageFile;
    std::string SettingsFile;

    // Text of key in section MSGSTRING of the language file, in a message box
    // over owner (this form when null).
    void ShowMsgStr(const char *key, const wchar_t *defaultText, HWND owner = nullptr);

private:
    static INT_PTR CALLBACK dialogProc(HWND, UINT, WPARAM, LPARAM);
    void FormCreate();
    void BtnLoginClick();
    void BtnChangePasswordClick();
    void close();
    void setControls(bool password, bool login, bool change);
    void enable(int id, bool on);

    HWND hwnd_ = nullptr;
    HINSTANCE instance_ = nullptr;
};

} // namespace sarvik
