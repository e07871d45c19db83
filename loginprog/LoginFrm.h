// TLoginFrm: the login program's one main window ("Keyvane"), drawn with Qt.
// What it does (open the flash disk the launcher was started from, check the
// owner's password, close the windows that show that drive, log the secure
// area in, open the drive; change the password) is the LoginSequence it
// derives from, shared with the Win32 form; this class only draws.
#pragma once

#include <QString>
#include <QWidget>

#include "LoginSequence.h"

class QLabel;
class QLineEdit;
class QPushButton;
class TMultLanguage;

class TLoginFrm : public QWidget, public sarvik::LoginSequence {
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

    QString LanguageFile;
    QString SettingsFile;

    // Directory of the language and settings files; empty: the program's own.
    // Tests point it elsewhere. The library is always loaded by bare name.
    static inline QString FilesDirectory;

    void FormCreate();
    void BtnLoginClick();
    void BtnCancelClick();
    void BtnChangePasswordClick();

    // Text of key in section MSGSTRING of the language file (defaultText when
    // the file has none; a null key shows defaultText), in a message box over
    // owner (this form when none is given).
    void ShowMsgStr(const char *key, const QString &defaultText, QWidget *owner = nullptr);

protected:
    void setControls(bool password, bool login, bool change) override;
    void setButtons(bool enabled) override;
    void passwordRefused() override;
    void showMsg(const char *key, const char *defaultText) override;
    void closeForm() override;
    void pause(int ms) override;
    int closeWindowsShowing(const std::string &text) override;
    sarvik::ExploreResult exploreDrive(const std::string &driveText) override;
};
