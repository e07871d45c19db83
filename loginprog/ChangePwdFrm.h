// TChangePwdFrm: the change password form of the login program, shown modally
// from the login form; it reaches the library through the login form's binding.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class TLoginFrm;
class TMultLanguage;

class TChangePwdFrm : public QDialog {
    Q_OBJECT
public:
    // Modal results, as the programs of this system count them.
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;

    explicit TChangePwdFrm(TLoginFrm *login);

    QLabel *lbPassword;
    QLabel *Label1;
    QLabel *Label2;
    QLineEdit *meOldPwd;
    QLineEdit *meNewPwd;
    QLineEdit *meConfirmPwd;
    QPushButton *btnOk;
    QPushButton *btnCancel;
    TMultLanguage *MultLanguage1;

    int TriesLeft = 3;

    void btnOkClick();
    void btnCancelClick();

protected:
    // Closing by the window manager counts as Cancel.
    void reject() override;

private:
    void clearEdits();
    TLoginFrm *login_;
};
