#include "LoginWindow.h"

#include "ChangePwdDialog.h"
#include "ControlIds.h"
#include "Desktop.h"
#include "DeviceParameters.h"
#include "DialogTemplate.h"
#include "Language.h"
#include "platform/Locale.h"

namespace sarvik {
namespace {

// The program's own directory with a trailing backslash.
std::string programDirectory() {
    char path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, DWORD(sizeof path));
    std::string p(path, n);
    const size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

} // namespace

HWND LoginWindow::create(HINSTANCE instance) {
    instance_ = instance;
    using K = DialogTemplate::Kind;
    DialogTemplate t(L"Keyvane", 195, 72);
    t.add(K::Static, ids::kLabel1, L"password:", SS_RIGHT | SS_CENTERIMAGE, 6, 10, 50, 12);
    t.add(K::Edit, ids::kPassword, L"", ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 61, 10, 126, 12);
    t.add(K::Static, ids::kMessage, L"", SS_LEFT, 6, 28, 181, 10);
    t.add(K::Button, ids::kLogin, L"&Login", BS_DEFPUSHBUTTON | WS_TABSTOP, 6, 48, 56, 15);
    t.add(K::Button, ids::kChangePassword, L"&Change Pwd", BS_PUSHBUTTON | WS_TABSTOP, 69, 48, 56, 15);
    t.add(K::Button, ids::kCancel, L"&Cancel", BS_PUSHBUTTON | WS_TABSTOP, 131, 48, 56, 15);
    hwnd_ = CreateDialogIndirectParamW(instance, t.get(), nullptr, dialogProc, reinterpret_cast<LPARAM>(this));
    if (hwnd_) ShowWindow(hwnd_, SW_SHOW);
    return hwnd_;
}

INT_PTR CALLBACK LoginWindow::dialogProc(HWND h, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_INITDIALOG) {
        auto *self = reinterpret_cast<LoginWindow *>(l);
        SetWindowLongPtrW(h, DWLP_USER, l);
        self->hwnd_ = h;
        HWND edit = GetDlgItem(h, ids::kPassword);
        SendMessageW(edit, EM_LIMITTEXT, platform::kMaxPasswordChars, 0);
        SendMessageW(edit, EM_SETPASSWORDCHAR, '*', 0);
        self->setControls(false, false, false);
        self->FormCreate();
        return TRUE;
    }
    auto *self = reinterpret_cast<LoginWindow *>(GetWindowLongPtrW(h, DWLP_USER));
    if (!self) return FALSE;
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(w) != BN_CLICKED) return FALSE;
        switch (LOWORD(w)) {
        case ids::kLogin:
            // Enter reaches here too: only when the button itself could be clicked.
            if (IsWindowEnabled(GetDlgItem(h, ids::kLogin))) self->BtnLoginClick();
            return TRUE;
        case ids::kChangePassword: self->BtnChangePasswordClick(); return TRUE;
        case ids::kCancel: // also Esc and the close box
            self->close();
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE: self->close(); return TRUE;
    case WM_DESTROY: PostQuitMessage(0); return TRUE;
    }
    return FALSE;
}

void LoginWindow::close() {
    if (!hwnd_) return;
    wipePassword(GetDlgItem(hwnd_, ids::kPassword));
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}

void LoginWindow::enable(int id, bool on) { EnableWindow(GetDlgItem(hwnd_, id), on); }

void LoginWindow::setControls(bool password, bool login, bool change) {
    enable(ids::kPassword, password);
    enable(ids::kLogin, login);
    enable(ids::kChangePassword, change);
}

void LoginWindow::setButtons(bool enabled) {
    enable(ids::kLogin, enabled);
    enable(ids::kCancel, enabled);
    enable(ids::kChangePassword, enabled);
}

void LoginWindow::passwordRefused() {
    HWND edit = GetDlgItem(hwnd_, ids::kPassword);
    wipePassword(edit);
    SetFocus(edit);
}

void LoginWindow::ShowMsgStr(const char *key, const char *defaultText, HWND owner) {
    const std::wstring text = widen(defaultText);
    showMessage(owner ? owner : hwnd_, key ? loadMsgStr(LanguageFile, "MSGSTRING", key, text.c_str()) : text);
}

void LoginWindow::showMsg(const char *key, const char *defaultText) { ShowMsgStr(key, defaultText); }

void LoginWindow::closeForm() { close(); }

void LoginWindow::pause(int ms) { Sleep(DWORD(ms)); }

int LoginWindow::closeWindowsShowing(const std::string &text) { return sarvik::closeWindowsShowing(text); }

ExploreResult LoginWindow::exploreDrive(const std::string &driveText) {
    return sarvik::exploreDrive(driveText) ? ExploreResult::Opened : ExploreResult::NoOpener;
}

void LoginWindow::FormCreate() {
    const std::string dir = programDirectory();
    LanguageFile = dir + std::to_string(platform::userDefaultLcid()) + ".ini";
    loadLanguage(hwnd_, "LoginFrm",
                 {{"Label1", GetDlgItem(hwnd_, ids::kLabel1), true, true, false},
                  {"mePassword", GetDlgItem(hwnd_, ids::kPassword), false, true, true},
                  {"BtnLogin", GetDlgItem(hwnd_, ids::kLogin), true, true, false},
                  {"BtnChangePassword", GetDlgItem(hwnd_, ids::kChangePassword), true, true, false},
                  {"BtnCancel", GetDlgItem(hwnd_, ids::kCancel), true, true, false},
                  {"lbMessage", GetDlgItem(hwnd_, ids::kMessage), true, true, false}},
                 LanguageFile);
    SettingsFile = dir + kSettingsFileName;
    openDisk(SettingsFile);
}

void LoginWindow::BtnLoginClick() {
    HWND edit = GetDlgItem(hwnd_, ids::kPassword);
    std::string password = readPassword(edit);
    wipePassword(edit);
    login(password);
    wipe(password);
}

void LoginWindow::BtnChangePasswordClick() { showChangePasswordDialog(instance_, *this); }

} // namespace sarvik
