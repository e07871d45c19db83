#include "ChangePwdDialog.h"

#include <string>

#include "ControlIds.h"
#include "Desktop.h"
#include "DialogTemplate.h"
#include "Language.h"
#include "LoginWindow.h"
#include "platform/Locale.h"

namespace sarvik {
namespace {

struct ChangePwdFrm {
    LoginWindow &login;
    HWND hwnd = nullptr;
    int TriesLeft = 3;

    HWND edit(int id) const { return GetDlgItem(hwnd, id); }

    void clearEdits() {
        for (int id : {ids::kOldPassword, ids::kNewPassword, ids::kConfirmPassword}) wipePassword(edit(id));
        SetFocus(edit(ids::kOldPassword));
    }

    void done(INT_PTR result) {
        clearEdits();
        EndDialog(hwnd, result);
    }

    void btnOkClick() {
        std::string oldPwd = readPassword(edit(ids::kOldPassword));
        std::string newPwd = readPassword(edit(ids::kNewPassword));
        std::string confirm = readPassword(edit(ids::kConfirmPassword));
        const LoginSequence::ChangeForm form{
            [this] { clearEdits(); }, [this](const char *key, const char *text) { login.ShowMsgStr(key, text, hwnd); }};
        const auto result = login.changePassword(oldPwd, newPwd, confirm, &TriesLeft, form);
        wipe(oldPwd);
        wipe(newPwd);
        wipe(confirm);
        if (result == LoginSequence::ChangeResult::Ok) done(kResultOk);
        if (result == LoginSequence::ChangeResult::Cancel) done(kResultCancel);
    }

    static INT_PTR CALLBACK proc(HWND h, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(h, DWLP_USER, l);
            auto *self = reinterpret_cast<ChangePwdFrm *>(l);
            self->hwnd = h;
            for (int id : {ids::kOldPassword, ids::kNewPassword, ids::kConfirmPassword}) {
                SendMessageW(self->edit(id), EM_LIMITTEXT, platform::kMaxPasswordChars, 0);
                SendMessageW(self->edit(id), EM_SETPASSWORDCHAR, '*', 0);
            }
            loadLanguage(h, "ChangePwdFrm",
                         {{"lbPassword", GetDlgItem(h, ids::kOldLabel), true, true, false},
                          {"Label1", GetDlgItem(h, ids::kNewLabel), true, true, false},
                          {"Label2", GetDlgItem(h, ids::kConfirmLabel), true, true, false},
                          {"meOldPwd", self->edit(ids::kOldPassword), false, true, true},
                          {"meNewPwd", self->edit(ids::kNewPassword), false, true, true},
                          {"meConfirmPwd", self->edit(ids::kConfirmPassword), false, true, true},
                          {"btnOk", GetDlgItem(h, ids::kOk), true, true, false},
                          {"btnCancel", GetDlgItem(h, ids::kChangeCancel), true, true, false}},
                         self->login.LanguageFile);
            return TRUE;
        }
        auto *self = reinterpret_cast<ChangePwdFrm *>(GetWindowLongPtrW(h, DWLP_USER));
        if (!self) return FALSE;
        if (message == WM_COMMAND && HIWORD(w) == BN_CLICKED) {
            if (LOWORD(w) == ids::kOk) {
                self->btnOkClick();
                return TRUE;
            }
            if (LOWORD(w) == ids::kChangeCancel) { // also Esc and the close box
                self->done(kResultCancel);
                return TRUE;
            }
        }
        return FALSE;
    }
};

} // namespace

INT_PTR showChangePasswordDialog(HINSTANCE instance, LoginWindow &login) {
    using K = DialogTemplate::Kind;
    DialogTemplate t(L"Change Password", 181, 100);
    const DWORD editStyle = ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
    t.add(K::Static, ids::kOldLabel, L"Old Password:", SS_RIGHT | SS_CENTERIMAGE, 5, 10, 67, 12);
    t.add(K::Edit, ids::kOldPassword, L"", editStyle, 77, 10, 96, 12);
    t.add(K::Static, ids::kNewLabel, L"New Password:", SS_RIGHT | SS_CENTERIMAGE, 5, 30, 67, 12);
    t.add(K::Edit, ids::kNewPassword, L"", editStyle, 77, 30, 96, 12);
    t.add(K::Static, ids::kConfirmLabel, L"Confirm:", SS_RIGHT | SS_CENTERIMAGE, 5, 50, 67, 12);
    t.add(K::Edit, ids::kConfirmPassword, L"", editStyle, 77, 50, 96, 12);
    t.add(K::Button, ids::kOk, L"&OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 29, 76, 53, 15);
    t.add(K::Button, ids::kChangeCancel, L"&Cancel", BS_PUSHBUTTON | WS_TABSTOP, 99, 76, 53, 15);
    ChangePwdFrm form{login};
    return DialogBoxIndirectParamW(instance, t.get(), login.hwnd(), ChangePwdFrm::proc,
                                   reinterpret_cast<LPARAM>(&form));
}

} // namespace sarvik
