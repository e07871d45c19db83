// TChangePwdFrm: replaces the password of the device's secure area after
// checking the old one, then has the library re-read the device's table.
#pragma once

#include <QDialog>

#include <array>
#include <cstdint>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TMultLanguage;
class TMainFrm;

class TChangePwdFrm : public QDialog {
    Q_OBJECT
public:
    explicit TChangePwdFrm(QWidget *parent = nullptr);
    ~TChangePwdFrm() override;

    QFrame *Bevel1;
    QLabel *ImageLogo;
    QLabel *lbPassword;
    QLabel *Label1;
    QLabel *Label2;
    QLineEdit *meOldPwd;
    QLineEdit *meNewPwd;
    QLineEdit *meConfirmPwd;
    QPushButton *btnOk;
    QPushButton *btnCancel;
    TMultLanguage *MultLanguage1;

    // Wrong old passwords still allowed in this showing.
    int TriesLeft = 3;

    void FormCreate();
    void btnOkClick();
    void btnCancelClick();
    int ShowMsgStr(const QString &key, const QString &defaultText);

    // BtnChangePswClick's dialog; the main window does not use the result.
    static int Execute(TMainFrm *main);

protected:
    void reject() override;

private:
    void wipeEdits();
    // Filled by the re-read after a change, never read here.
    std::array<uint8_t, 512> config_{};
};
