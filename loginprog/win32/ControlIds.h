// Control identifiers of the login program's two dialogs. Login and OK carry
// IDOK and the cancel buttons IDCANCEL, so that Enter and Esc work as users
// expect; tests reach the controls by these numbers.
#pragma once

namespace sarvik::ids {

// LoginFrm
constexpr int kLabel1 = 101;
constexpr int kPassword = 102;       // mePassword
constexpr int kLogin = 1;            // BtnLogin (IDOK)
constexpr int kChangePassword = 103; // BtnChangePassword
constexpr int kCancel = 2;           // BtnCancel (IDCANCEL)
constexpr int kMessage = 104;        // lbMessage

// ChangePwdFrm
constexpr int kOldLabel = 201;        // lbPassword
constexpr int kNewLabel = 202;        // Label1
constexpr int kConfirmLabel = 203;    // Label2
constexpr int kOldPassword = 211;     // meOldPwd
constexpr int kNewPassword = 212;     // meNewPwd
constexpr int kConfirmPassword = 213; // meConfirmPwd
constexpr int kOk = 1;                // btnOk (IDOK)
constexpr int kChangeCancel = 2;      // btnCancel (IDCANCEL)

} // namespace sarvik::ids
