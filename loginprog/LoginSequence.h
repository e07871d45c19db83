// The login program's logic, the same for the Qt and the Win32 forms: opening
// the flash disk the launcher was started from, checking the owner's password,
// closing the windows that show the drive, logging the secure area in and
// opening the drive, and the change password dialog's OK. A form derives from
// it and only draws: the hooks below are what it is asked to do on screen.
#pragma once

#include <functional>
#include <string>

#include "DiskControl.h"
#include "Quendal.h"

namespace sarvik {

enum class ExploreResult {
    Opened,   // the file manager was started on the drive's folder
    NoFolder, // the drive is not present or not mounted: nothing can be shown
    NoOpener, // the file manager could not be started
};

// Shows the text of key in section MSGSTRING of the language file (defaultText,
// UTF-8, when the file has none); a null key shows defaultText as it is.
using MessageFn = std::function<void(const char *key, const char *defaultText)>;

class LoginSequence {
public:
    virtual ~LoginSequence();

    int TriesLeft = 3;
    // The device refused raw access (InitFlashDisk answered 2): the library
    // logs in by writing the login file and compares nothing beforehand.
    bool FileLoginOnly = false;
    // The library binding, shared with the manager; null until openDisk. The
    // login program's names among those it binds: InitFlashDisk, FreeFlashDisk,
    // InitVariable, DiskRemove, LoadDiskLib, UpdateParam, GetConfigTable,
    // SendCfgTable, ReverseWriteStatusIfProtect, GetFlashDiskInfo,
    // GetDiskCapacity, GetDiskSize, GetErrorCode, HaveCfgTbl, FormatDisk,
    // CreateNewCfgtblV2, ResetDisk, WaitDiskResume, VerifyPassword,
    // ChangePassword, LoginState and GetSecureDiskVolume (only eight are called).
    TDiskControl *DiskControl = nullptr;
    // The 23rd name the login program binds, which the manager does not: bound
    // by name like the others but never called.
    decltype(&::GetOsVersion) GetOsVersion = nullptr;
    // True when every export the program calls is bound.
    bool Usable = false;
    InitDiskParams ParamBlock{};

    // The pause between the login and opening the drive, in ms: the system
    // needs a moment to show the secure area in place of the login volume.
    static inline int LoginWaitMs = 1000;

    // FormCreate's work once the form's texts are loaded: binds the library,
    // opens the device with the parameters of settingsFile and enables what
    // the disk's state allows.
    void openDisk(const std::string &settingsFile);

    // BtnLoginClick with the password edit's text (UTF-8).
    void login(const std::string &password);

    // What the change password dialog does after its OK.
    enum class ChangeResult {
        TryAgain, // its edits are emptied and it stays open
        Cancel,   // it closes with Cancel
        Ok,       // it closes with OK: the password is changed
    };
    // What the change password dialog is asked to do on screen.
    struct ChangeForm {
        std::function<void()> clearEdits; // before a message that asks to type again
        MessageFn show;                   // a message over the dialog
    };
    // The change password dialog's OK with its three texts (UTF-8);
    // *triesLeft is the dialog's own count.
    ChangeResult changePassword(const std::string &oldPassword, const std::string &newPassword,
                                const std::string &confirm, int *triesLeft, const ChangeForm &form);

protected:
    // Enables the password edit, BtnLogin and BtnChangePassword.
    virtual void setControls(bool password, bool login, bool change) = 0;
    // Enables or disables BtnLogin, BtnCancel and BtnChangePassword together.
    virtual void setButtons(bool enabled) = 0;
    // A password that did not open the disk: the edit is emptied and focused.
    virtual void passwordRefused() = 0;
    // A message over the login form (see MessageFn).
    virtual void showMsg(const char *key, const char *defaultText) = 0;
    // Ends the program's one window.
    virtual void closeForm() = 0;
    // Waits ms milliseconds on the window's thread.
    virtual void pause(int ms) = 0;
    // Asks every window whose title contains text to close; the number asked.
    virtual int closeWindowsShowing(const std::string &text) = 0;
    // Opens the drive ("E:\") in the file manager.
    virtual ExploreResult exploreDrive(const std::string &driveText) = 0;
};

} // namespace sarvik
