// TLoginFrm: the login program's one main window ("Keyvane"). It opens the
// flash disk the launcher was started from, checks the owner's password, closes
// the windows that show that drive, logs the secure area in and opens the drive
// in the file manager; from it the owner can also change the password.
#pragma once

#include <QString>
#include <QWidget>

#include "DiskControl.h"
#include "Quendal.h"

class QLabel;
class QLineEdit;
class QPushButton;
class TMultLanguage;

class TLoginFrm : public QWidget {
    Q_OBJECT
public:
    // Builds the form and runs FormCreate: the library is bound and the device
    // opened before the constructor returns.
    explicit TLoginFrm(QWidget *parent = nullptr);
    ~TLoginFrm() override;

    QLabel *Label1;
    QLineEdit *mePassword;
    QPushButton *BtnLogin;
    QPushButton *BtnChangePassword;
    QPushButton *BtnCancel;
    QLabel *lbMessage;
    TMultLanguage *MultLanguage1;

    int TriesLeft = 3;
    // The device refused raw access (InitFlashDisk answered 2): the library
    // logs in by writing the login file and compares nothing beforehand.
    bool FileLoginOnly = false;

    // The library binding, shared with the manager; null until FormCreate. The
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
    QString LanguageFile;
    QString SettingsFile;

    // The pause between the login and opening the drive, in ms: the system
    // needs a moment to show the secure area in place of the login volume.
    static inline int LoginWaitMs = 1000;
    // Directory of the language and settings files; empty: the program's own.
    // Tests point it elsewhere. The library is always loaded by bare name.
    static inline QString FilesDirectory;

    void FormCreate();
    void BtnLoginClick();
    void BtnCancelClick();
    void BtnChangePasswordClick();

    // Text of key in section MSGSTRING of the language file, in a message box
    // over owner (this form when none is given).
    void ShowMsgStr(const QString &key, const QString &defaultText, QWidget *owner = nullptr);

    // The password edit's text as the library takes it (the locale's bytes).
    static QByteArray PasswordBytes(const QLineEdit *edit);

private:
    void setControls(bool password, bool login, bool change);
};
