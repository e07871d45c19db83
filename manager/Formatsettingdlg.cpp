#include "Formatsettingdlg.h"

#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <cstring>

#include "Apmain.h"
#include "Messagedlg.h"
#include "Multlanguage.h"
#include "PasswordEdit.h"
#include "DialogStyle.h"

namespace formatsplit {

QString mbytes(uint32_t sectors) { return QString::number(sectors / kSectorsPerMByte) + QStringLiteral("MByte"); }

} // namespace formatsplit

TTrackBar::TTrackBar(QWidget *parent) : QSlider(Qt::Horizontal, parent) {}

void TTrackBar::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton) {
        QSlider::mousePressEvent(event);
        return;
    }
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    if (!handle.contains(event->position().toPoint())) {
        // Jump so that the handle's middle lands under the pointer.
        const int span = width() - handle.width();
        const int pos = int(event->position().x()) - handle.width() / 2;
        setValue(QStyle::sliderValueFromPosition(minimum(), maximum(), pos, span, opt.upsideDown));
    }
    QSlider::mousePressEvent(event);
}

namespace {

constexpr int kClientWidth = 280;
constexpr int kClientHeight = 376;
constexpr int kResultStart = 1;
constexpr int kResultCancel = 2;

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, QRect geometry,
                  Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
    auto *l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    l->setAlignment(align);
    return l;
}

QRadioButton *makeRadio(QWidget *parent, const char *name, const QString &text, QRect geometry) {
    auto *r = new QRadioButton(text, parent);
    r->setObjectName(QLatin1String(name));
    r->setGeometry(geometry);
    return r;
}

QPushButton *makeButton(QWidget *parent, const char *name, const QString &text, QRect geometry) {
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    b->setAutoDefault(false);
    return b;
}

} // namespace

TFormatSetFrm::TFormatSetFrm(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormatSetFrm"));
    setWindowTitle(QStringLiteral("Format"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);
    orvane::StyleDialog(this, objectName());

    gb1 = new QGroupBox(QStringLiteral(" FormatSetting"), this);
    gb1->setObjectName(QStringLiteral("gb1"));
    gb1->setGeometry(-1, -2, 282, 248);
    lblDiskSize = makeLabel(gb1, "lblDiskSize", QStringLiteral("Disk Size:"), {8, 25, 265, 18});
    tbrPartSize = new TTrackBar(gb1);
    tbrPartSize->setObjectName(QStringLiteral("tbrPartSize"));
    tbrPartSize->setGeometry(8, 46, 265, 20);
    tbrPartSize->setRange(0, 100);
    tbrPartSize->setValue(50);
    lbl4 = makeLabel(gb1, "lbl4", QStringLiteral("0MByte"), {8, 70, 65, 18});
    lbl5 = makeLabel(gb1, "lbl5", QStringLiteral("0MByte"), {200, 70, 68, 18}, Qt::AlignRight | Qt::AlignVCenter);
    rbNormalDisk = makeRadio(gb1, "rbNormalDisk", QStringLiteral("Normal Disk"), {8, 90, 257, 23});
    rbNormalDisk->setChecked(true);
    rbSecureDisk = makeRadio(gb1, "rbSecureDisk", QStringLiteral("Secure Disk"), {8, 112, 257, 23});
    rbBootDisk = makeRadio(gb1, "rbBootDisk", QStringLiteral("Boot Disk"), {8, 134, 257, 23});
    rbAutorun = makeRadio(gb1, "rbAutorun", QStringLiteral("Cdrom"), {208, 21, 65, 25});
    rbAutorun->setVisible(false);
    // The boot variants sit in a panel of their own, so they exclude each
    // other apart from the four kinds.
    bsSkinPanel1 = new QFrame(gb1);
    bsSkinPanel1->setObjectName(QStringLiteral("bsSkinPanel1"));
    bsSkinPanel1->setGeometry(27, 159, 241, 81);
    rbHddBoot = makeRadio(bsSkinPanel1, "rbHddBoot", QStringLiteral("HDD Boot"), {16, 4, 209, 25});
    rbHddBoot->setChecked(true);
    rbZipBootLit = makeRadio(bsSkinPanel1, "rbZipBootLit", QStringLiteral("ZIP Boot"), {16, 29, 209, 25});
    rbZipBootBig = makeRadio(bsSkinPanel1, "rbZipBootBig", QStringLiteral("ZIP Boot(63 Sector)"), {16, 54, 209, 25});

    gbPasswordSetting = new QGroupBox(QStringLiteral(" Password Setting:"), this);
    gbPasswordSetting->setObjectName(QStringLiteral("gbPasswordSetting"));
    gbPasswordSetting->setGeometry(0, 245, 281, 89);
    lbl1 = makeLabel(gbPasswordSetting, "lbl1", QStringLiteral("Password:"), {3, 26, 105, 21},
                     Qt::AlignRight | Qt::AlignVCenter);
    lbl2 = makeLabel(gbPasswordSetting, "lbl2", QStringLiteral("Confirm Password:"), {3, 54, 103, 21},
                     Qt::AlignRight | Qt::AlignVCenter);
    mePassword = passwords::makeEdit(gbPasswordSetting, "mePassword", {112, 28, 161, 21});
    meConfirm = passwords::makeEdit(gbPasswordSetting, "meConfirm", {112, 56, 161, 21});

    btnCancel = makeButton(this, "btnCancel", QStringLiteral("&Cancel"), {45, 346, 75, 25});
    btnOk = makeButton(this, "btnOk", QStringLiteral("&Start"), {173, 346, 75, 27});
    MultLanguage1 = new TMultLanguage(this);
    MultLanguage1->setObjectName(QStringLiteral("MultLanguage1"));

    // Tab order: Start first, then the kinds, the passwords and Cancel.
    setTabOrder(btnOk, tbrPartSize);
    setTabOrder(tbrPartSize, rbNormalDisk);
    setTabOrder(rbNormalDisk, mePassword);
    setTabOrder(mePassword, meConfirm);
    setTabOrder(meConfirm, btnCancel);

    connect(tbrPartSize, &QSlider::valueChanged, this, [this] { tbrPartSizeChange(); });
    connect(rbNormalDisk, &QRadioButton::clicked, this, [this] { rbNormalDiskClick(); });
    connect(rbSecureDisk, &QRadioButton::clicked, this, [this] { rbSecureDiskClick(); });
    connect(rbBootDisk, &QRadioButton::clicked, this, [this] { bsSkinCheckRadioBox3Click(); });
    connect(rbAutorun, &QRadioButton::clicked, this, [this] { bsSkinCheckRadioBox7Click(); });
    connect(btnOk, &QPushButton::clicked, this, [this] { btnOkClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });

    if (QScreen *s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));

    FormCreate();
    btnOk->setFocus();
}

TFormatSetFrm::~TFormatSetFrm() {
    passwords::wipeEdit(mePassword);
    passwords::wipeEdit(meConfirm);
}

void TFormatSetFrm::setBootVariantsEnabled(bool on) {
    rbHddBoot->setEnabled(on);
    rbZipBootLit->setEnabled(on);
    rbZipBootBig->setEnabled(on);
}

void TFormatSetFrm::setPasswordEnabled(bool on) {
    mePassword->setEnabled(on);
    meConfirm->setEnabled(on);
    lbl1->setEnabled(on);
    lbl2->setEnabled(on);
}

void TFormatSetFrm::FormCreate() {
    setBootVariantsEnabled(false);
    setPasswordEnabled(false);
    TMainFrm *main = MainFrm;
    if (main && main->DiskControl && main->DiskControl->GetDiskSize)
        DiskSize = uint32_t(main->DiskControl->GetDiskSize());
    if (main) MultLanguage1->LoadLanguage(this, main->LanguageFile);
    tbrPartSize->setMaximum(100);
    tbrPartSize->setValue(100); // from the form's 50: the change handler runs now
    lblDiskSize->setText(formatsplit::mbytes(DiskSize));
    lbl4->setText(lblDiskSize->text());
}

void TFormatSetFrm::tbrPartSizeChange() {
    const formatsplit::Split s = formatsplit::forLabels(DiskSize, tbrPartSize->value());
    lbl4->setText(formatsplit::mbytes(s.first));
    lbl5->setText(formatsplit::mbytes(s.second));
}

void TFormatSetFrm::rbNormalDiskClick() {
    setBootVariantsEnabled(false);
    setPasswordEnabled(false);
}

void TFormatSetFrm::rbSecureDiskClick() {
    setBootVariantsEnabled(false);
    setPasswordEnabled(true);
}

void TFormatSetFrm::bsSkinCheckRadioBox3Click() {
    setBootVariantsEnabled(true);
    setPasswordEnabled(false);
    rbZipBootLit->setChecked(false);
    rbZipBootBig->setChecked(false);
    rbHddBoot->setChecked(true);
}

void TFormatSetFrm::bsSkinCheckRadioBox7Click() {
    setBootVariantsEnabled(false);
    setPasswordEnabled(false);
}

void TFormatSetFrm::btnOkClick() {
    TMainFrm *main = MainFrm;
    if (!main) return;
    const bool secure = rbSecureDisk->isChecked();
    uint8_t mode = QUENDAL_MODE_NORMAL;
    if (secure) {
        mode = QUENDAL_MODE_SECURE;
        const passwords::Secret password(mePassword), confirm(meConfirm);
        if (!password.usable() || !confirm.usable()) {
            ShowMsgStr(QLatin1String(passwords::kUnusableKey), QLatin1String(passwords::kUnusableText));
            mePassword->setFocus();
            return;
        }
        if (password.bytes() != confirm.bytes()) {
            ShowMsgStr(QStringLiteral("CONFIRMERR"), QStringLiteral("Confirm Password is not same as new password!"));
            mePassword->setFocus();
            return;
        }
    } else if (rbBootDisk->isChecked()) {
        mode = rbHddBoot->isChecked()      ? QUENDAL_MODE_HDD_BOOT
               : rbZipBootLit->isChecked() ? QUENDAL_MODE_ZIP_BOOT
                                           : QUENDAL_MODE_ZIP_BOOT_63;
    } else if (rbAutorun->isChecked()) {
        mode = QUENDAL_MODE_CDROM;
    }

    const formatsplit::Split split = formatsplit::forStart(DiskSize, tbrPartSize->value());
    const std::optional<formatsplit::Areas> areas = formatsplit::areasFor(secure, split);
    if (!areas) {
        // Checked before anything is written, so a refusal leaves Settings as it was.
        ShowMsgStr(QStringLiteral("SMALLSECURE"),
                   QStringLiteral("The disk is too small for a Secure Disk with this size split."));
        tbrPartSize->setFocus();
        return;
    }

    FormatSettings &s = main->Settings;
    if (secure) {
        const passwords::Secret password(mePassword);
        // Twenty characters are at most 40 bytes; the field keeps its NUL.
        const size_t n = std::min<size_t>(password.bytes().size(), sizeof s.password - 1);
        passwords::wipe(s.password, sizeof s.password);
        std::memcpy(s.password, password.c_str(), n);
        s.password[n] = '\0';
    }
    s.mode = mode;
    for (int i = 0; i < 3; ++i) s.areaSize[i] = areas->size[i];
    s.areaCount = areas->count;
    done(kResultStart);
}

void TFormatSetFrm::btnCancelClick() { done(kResultCancel); }

void TFormatSetFrm::reject() { done(kResultCancel); }

int TFormatSetFrm::ShowMsgStr(const QString &key, const QString &defaultText) {
    return ::ShowMsgStr(this, MainFrm ? MainFrm->LanguageFile : QString(), key, defaultText);
}

int TFormatSetFrm::Execute(TMainFrm *) {
    TFormatSetFrm dlg;
    return dlg.exec() == kResultStart ? kResultStart : kResultCancel;
}
