// TFormatSetFrm: the modal dialog in which the user chooses how the flash disk
// is formatted (the split of the disk between a first and a second area, the
// kind of disk and, for a secure disk, its password) and which fills the main
// window's Settings for FormatDisk.
#pragma once

#include <QDialog>
#include <QSlider>

#include <cstdint>
#include <optional>

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

// 512-byte sectors in one MByte; also the smallest area the split keeps.
constexpr uint32_t kSectorsPerMByte = 2048;
// The small first area of a secure disk that receives the login files.
constexpr uint32_t kLoginAreaSectors = 2500;
// Up to this first part a secure disk takes its login area from the second part.
constexpr uint32_t kSecureFirstLimit = 4096;
// The smallest area FormatDisk accepts.
constexpr uint32_t kMinAreaSectors = 1000;

struct Split {
    uint32_t first = 0;
    uint32_t second = 0;
    bool operator==(const Split &) const = default;
};

// first = value x size / 100 (64-bit product, truncated), second the rest.
Split raw(uint32_t diskSize, int value);
// What the labels show: a first part under 1 MByte goes to the second, then a
// second part under 1 MByte goes to the first.
Split forLabels(uint32_t diskSize, int value);
// What Start formats: either part under 1 MByte makes one area of the disk.
Split forStart(uint32_t diskSize, int value);

struct Areas {
    uint32_t size[3] = {0, 0, 0};
    uint32_t count = 0;
};
// The three area sizes and the area count for a split. Empty for a secure disk
// whose split leaves an area negative or under kMinAreaSectors (disks of fewer
// than about 6600 sectors), which FormatDisk could not build.
std::optional<Areas> areasFor(bool secure, Split split);

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
