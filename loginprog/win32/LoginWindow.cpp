#include "LoginWindow.h"

#include <array>

#include "ChangePwdDialog.h"
#include "ControlIds.h"
#include "Desktop.h"
#include "DeviceParameters.h"
#include "DialogTemplate.h"
#include "Language.h"
#include "StartParameter.h"
#include "platform/DynamicLibrary.h"
#include "platform/Locale.h"

namespace sarvik {
namespace {

// Texts the program shows without a key of the language file.
const wchar_t kInitError[] = L"Initialize error,please repush your FlashDisk.";
const wchar_t kManualOpen[] = L"Please open your FlashDisk from 'My Computer'.";

// The pause between the login and exploring the drive: the system needs a
// moment to show the secure area in place of the login volume.
constexpr DWORD kLoginWaitMs = 1000;

using E = TDiskControl::Export;
// Every export the program calls: a library lacking one of them would be called
// through a null pointer, so it counts as missing altogether.
constexpr std::array kCalledExports = {E::InitFlashDisk, E::InitVariable, E::LoadDiskLib,    E::GetConfigTable,
                                       E::UpdateParam,   E::LoginState,   E::VerifyPassword, E::ChangePassword};

// The program's own directory with a trailing backslash.
std::string programDirectory() {
    char path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, DWORD(sizeof path));
    std::string p(path, n);
    const size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

} // namespace

LoginWindow::~LoginWindow() { delete DiskControl; }

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
        SendMessageW(edit, EM_LIMITTEXT, ids::kMaxPassword, 0);
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

void LoginWindow::ShowMsgStr(const char *key, const wchar_t *defaultText, HWND owner) {
    showMessage(owner ? owner : hwnd_, loadMsgStr(LanguageFile, "MSGSTRING", key, defaultText));
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

    DiskControl = new TDiskControl;
    const bool bound = DiskControl->BindLibrary();
    if (DiskControl->Module)
        GetOsVersion =
            reinterpret_cast<decltype(GetOsVersion)>(platform::bindSymbol(DiskControl->Module, "GetOsVersion"));
    Usable = bound;
    for (E e : kCalledExports)
        if (!DiskControl->Address(e)) Usable = false;
    if (!Usable) {
        showMessage(hwnd_, kInitError);
        return;
    }

    FileLoginOnly = false;
    fillParameterBlock(SettingsFile, &ParamBlock);
    TriesLeft = 3;
    DiskControl->LoadDiskLib();

    const int32_t r = DiskControl->InitFlashDisk(&ParamBlock);
    if (r == 2) {
        FileLoginOnly = true;
        setControls(true, true, false);
    } else if (r < 0) {
        return;
    }

    uint8_t table[512] = {};
    if (DiskControl->GetConfigTable(table) > 0) {
        DiskControl->UpdateParam();
        if (DiskControl->LoginState() == 0) setControls(true, true, true);
    }
}

void LoginWindow::BtnLoginClick() {
    enable(ids::kLogin, false);
    enable(ids::kCancel, false);
    enable(ids::kChangePassword, false);
    HWND edit = GetDlgItem(hwnd_, ids::kPassword);
    std::string password = readPassword(edit);
    wipePassword(edit);

    DriveTexts drive;
    if (!FileLoginOnly) {
        if (!DiskControl->VerifyPassword(password.c_str(), 0)) {
            wipe(password);
            SetFocus(edit);
            if (--TriesLeft <= 0) {
                close();
                return;
            }
            ShowMsgStr("PWDERR", L"Password Error.");
            enable(ids::kLogin, true);
            enable(ids::kCancel, true);
            enable(ids::kChangePassword, true);
            return;
        }
        drive = driveTextsOf(StartParameter);
        if (drive.letter) {
            // Explorer windows showing the login volume would hold it while the
            // device swaps in the secure area under the same letter.
            closeWindowsShowing(drive.driveText);
            closeWindowsShowing(drive.bracketed);
        }
    }

    const bool loggedIn = DiskControl->VerifyPassword(password.c_str(), 1);
    wipe(password);
    if (loggedIn) {
        Sleep(kLoginWaitMs);
        // A drive the shell cannot explore leaves the user the same way to it
        // as having no drive at all.
        if (drive.driveText.empty() || !exploreDrive(drive.driveText)) showMessage(hwnd_, kManualOpen);
    } else {
        ShowMsgStr("LOGINERR", L"Login Failed.");
    }
    close();
}

void LoginWindow::BtnChangePasswordClick() { showChangePasswordDialog(instance_, *this); }

} // namespace sarvik
