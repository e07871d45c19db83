#include "LoginSequence.h"

#include <array>
#include <cstdint>

#include "DeviceParameters.h"
#include "StartParameter.h"
#include "UnusablePassword.h"
#include "RewriteOutcome.h"
#include "platform/DynamicLibrary.h"
#include "platform/Locale.h"

namespace sarvik {

namespace {

// Texts the program shows without a key of the language file.
const char kInitError[] = "Initialize error,please repush your FlashDisk.";
const char kManualOpen[] = "Please open your FlashDisk from 'My Computer'.";
// A typed password that no program could take is refused before the library
// is asked, and counts as no try.
using passwords::kUnusableKey;
using passwords::kUnusableText;

using E = TDiskControl::Export;

// Every export the program calls: a library lacking one of them would be
// called through a null pointer, so it counts as missing altogether.
constexpr std::array kCalledExports = {E::InitFlashDisk, E::InitVariable, E::LoadDiskLib,    E::GetConfigTable,
                                       E::UpdateParam,   E::LoginState,   E::VerifyPassword, E::ChangePassword};

// The bytes the library takes, wiped when they go.
class Secret {
public:
    explicit Secret(const std::string &text) {
        usable_ = platform::passwordBytes(text, &bytes_) == platform::PasswordCheck::Usable;
    }
    ~Secret() {
        for (char &c : bytes_) static_cast<volatile char &>(c) = 0;
    }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    bool usable() const { return usable_; }
    const char *c_str() const { return bytes_.c_str(); }
    bool operator==(const Secret &other) const { return bytes_ == other.bytes_; }

private:
    std::string bytes_;
    bool usable_ = false;
};

} // namespace

LoginSequence::~LoginSequence() { delete DiskControl; }

void LoginSequence::openDisk(const std::string &settingsFile) {
    DiskControl = new TDiskControl;
    const bool bound = DiskControl->BindLibrary();
    if (DiskControl->Module)
        GetOsVersion =
            reinterpret_cast<decltype(GetOsVersion)>(platform::bindSymbol(DiskControl->Module, "GetOsVersion"));
    Usable = bound;
    for (E e : kCalledExports)
        if (!DiskControl->Address(e)) Usable = false;
    if (!Usable) {
        showMsg(nullptr, kInitError);
        return;
    }

    FileLoginOnly = false;
    fillParameterBlock(settingsFile, &ParamBlock);
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

void LoginSequence::login(const std::string &text) {
    setButtons(false);
    const Secret password(text);
    if (!password.usable()) {
        passwordRefused();
        showMsg(kUnusableKey, kUnusableText);
        setButtons(true);
        return;
    }

    DriveTexts drive;
    if (!FileLoginOnly) {
        if (!DiskControl->VerifyPassword(password.c_str(), 0)) {
            passwordRefused();
            if (--TriesLeft <= 0) {
                closeForm();
                return;
            }
            showMsg("PWDERR", "Password Error.");
            setButtons(true);
            return;
        }
        drive = driveTextsOf(StartParameter);
        if (drive.letter) {
            // Windows showing the login volume would hold it while the device
            // swaps in the secure area under the same letter.
            closeWindowsShowing(drive.driveText);
            closeWindowsShowing(drive.bracketed);
        }
    }

    if (DiskControl->VerifyPassword(password.c_str(), 1)) {
        pause(LoginWaitMs);
        switch (drive.driveText.empty() ? ExploreResult::NoOpener : exploreDrive(drive.driveText)) {
        case ExploreResult::Opened: break;
        case ExploreResult::NoFolder:
            showMsg(
                nullptr,
                (drive.driveText + " is not mounted on this computer, so it cannot be shown.\n" + kManualOpen).c_str());
            break;
        case ExploreResult::NoOpener: showMsg(nullptr, kManualOpen); break;
        }
    } else {
        showMsg("LOGINERR", "Login Failed.");
    }
    closeForm();
}

LoginSequence::ChangeResult LoginSequence::changePassword(const std::string &oldText, const std::string &newText,
                                                          const std::string &confirmText, int *triesLeft,
                                                          const ChangeForm &form) {
    const Secret oldPwd(oldText), newPwd(newText), confirm(confirmText);
    if (!oldPwd.usable() || !newPwd.usable() || !confirm.usable()) {
        form.clearEdits();
        form.show(kUnusableKey, kUnusableText);
        return ChangeResult::TryAgain;
    }
    if (!DiskControl->VerifyPassword(oldPwd.c_str(), 0)) {
        form.clearEdits();
        const bool last = --*triesLeft <= 0;
        form.show("OLDERR", "Old Password Error.");
        return last ? ChangeResult::Cancel : ChangeResult::TryAgain;
    }
    if (!(newPwd == confirm)) {
        form.clearEdits();
        form.show("CONFIRMERR", "Confirm Password is not same as new password!");
        return ChangeResult::TryAgain;
    }
    const int32_t codeBefore = rewrite::errorCode(*DiskControl);
    if (!DiskControl->ChangePassword(oldPwd.c_str(), newPwd.c_str())) {
        // Truthfully, read off the disk: the change may have reached one copy.
        const rewrite::Message m = rewrite::failedChange(*DiskControl, codeBefore, oldPwd.c_str(), newPwd.c_str());
        form.show(m.key, m.text);
        return ChangeResult::Cancel;
    }
    // The library compares against its copy of the table: it must drop it and
    // read the one just written before the new password counts.
    DiskControl->InitVariable();
    uint8_t table[512] = {};
    DiskControl->GetConfigTable(table);
    DiskControl->UpdateParam();
    form.show("CHANGEOK", "Change password success.");
    return ChangeResult::Ok;
}

} // namespace sarvik
