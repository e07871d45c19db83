// The login form "LoginFrm" as a Win32 dialog. What it does (open the flash
// disk the launcher was started from, check the owner's password, close the
// explorer windows that show the drive, log the secure area in, explore the
// drive; change the password) is the LoginSequence it derives from, shared
// with the Qt form; this class only draws.
#pragma once

#include <string>
#include <windows.h>

#include "LoginSequence.h"

namespace sarvik {

class LoginWindow : public LoginSequence {
public:
    LoginWindow() = default;
    LoginWindow(const LoginWindow &) = delete;
    LoginWindow &operator=(const LoginWindow &) = delete;

    // Creates the dialog (running FormCreate before it shows) and shows it;
    // null when the window could not be made.
    HWND create(HINSTANCE instance);
    HWND hwnd() const { return hwnd_; }

    std::string LanguageFile;
    std::string SettingsFile;

    // Text of key in section MSGSTRING of the language file (defaultText when
    // the file has none; a null key shows defaultText), in a message box over
    // owner (this form when null).
    void ShowMsgStr(const char *key, const char *defaultText, HWND owner = nullptr);

protected:
    void setControls(bool password, bool login, bool change) override;
    void setButtons(bool enabled) override;
    void passwordRefused() override;
    void showMsg(const char *key, const char *defaultText) override;
    void closeForm() override;
    void pause(int ms) override;
    int closeWindowsShowing(const std::string &text) override;
    ExploreResult exploreDrive(const std::string &driveText) override;

private:
    static INT_PTR CALLBACK dialogProc(HWND, UINT, WPARAM, LPARAM);
    void FormCreate();
    void BtnLoginClick();
    void BtnChangePasswordClick();
    void close();
    void enable(int id, bool on);

    HWND hwnd_ = nullptr;
    HINSTANCE instance_ = nullptr;
};

} // namespace sarvik
