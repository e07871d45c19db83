// The change password form "ChangePwdFrm", shown modally over the login form;
// it reaches the library through the login form's binding.
#pragma once

#include <windows.h>

namespace sarvik {

class LoginWindow;

// Modal results, as the programs of this system count them.
constexpr INT_PTR kResultOk = 1;
constexpr INT_PTR kResultCancel = 2;

INT_PTR showChangePasswordDialog(HINSTANCE instance, LoginWindow &login);

} // namespace sarvik
