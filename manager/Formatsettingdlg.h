// TFormatSetFrm: the modal dialog in which the user chooses how the flash disk
// is formatted (the split of the disk between a first and a second area, the
// kind of disk and, for a secure disk, its password) and which fills the main
// window's Settings for FormatDisk.
#pragma once

#include <QDialog>
#include <QSlider>

#include <cstdint>

#include "DiskSplit.h"
#include "Quendal.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class TMultLanguage;
class TMainFrm;

namespace formatsplit {

// "<sectors / 2048>MByte".
QString mbytes(uint32_t sectors);

} // namespace formatsplit

// The track bar: a click on the bar jumps to that position.
class TTrackBar : public QSlider {
    Q_OBJECT
public:
    explicit TTrackBar(QWidget *parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent *event) override;
};

class TFormatSetFrm : public QDialog {
    Q_OBJECT
public:
    // Builds the form and runs FormCreate, reading the main window (MainFrm).
    explicit TFormatSetFrm(QWidget *parent = nullptr);
    ~TFormatSetFrm() override;

    QGroupBox *gb1;
    QLabel *lblDiskSize;
    TTrackBar *tbrPartSize;
    QLabel *lbl4;
    QLabel *lbl5;
    QRadioButton *rbNormalDisk;
    QRadioButton *rbSecureDisk;
    QRadioButton *rbBootDisk;
    QRadioButton *rbAutorun;
    QFrame *bsSkinPanel1;
    QRadioButton *rbHddBoot;
    QRadioButton *rbZipBootLit;
    QRadioButton *rbZipBootBig;
    QGroupBox *gbPasswordSetting;
    QLabel *lbl1;
    QLabel *lbl2;
    QLineEdit *mePassword;
    QLineEdit *meConfirm;
    QPushButton *btnCancel;
    QPushButton *btnOk;
    TMultLanguage *MultLanguage1;

    // The disk's capacity in sectors when the dialog was created.
    uint32_t DiskSize = 0;

    void FormCreate();
    void tbrPartSizeChange();
    void rbNormalDiskClick();
    void rbSecureDiskClick();
    void bsSkinCheckRadioBox3Click();
    void bsSkinCheckRadioBox7Click();
    void btnOkClick();
    void btnCancelClick();

    int ShowMsgStr(const QString &key, const QString &defaultText);

    // BtnFormatClick's step 1: the dialog shown modally for the main window;
    // 1 after Start (Settings filled), 2 after Cancel or close.
    static int Execute(TMainFrm *main);

protected:
    // The frame's close button counts as Cancel.
    void reject() override;

private:
    void setBootVariantsEnabled(bool on);
    void setPasswordEnabled(bool on);
};
