#include "Logindlg.h"

#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>

#include <cstring>

#include "Apmain.h"
#include "Messagedlg.h"
#include "Multlanguage.h"
#include "PasswordEdit.h"
#include "DialogStyle.h"
#include "platform/Drives.h"
#include "platform/Shell.h"
#include "platform/Windows.h"

TWindowTitleTable WindowTitleTable;

void CCloseWindow::CloseByTitle(const char *text) {
    TWindowTitleTable &table = WindowTitleTable;
    table.count = 0;
    platform::WindowList list;
    // Every titled window is looked at; only the first 256 are kept.
    for (const platform::TopLevelWindow &w : list.windows()) {
        if (w.title.empty()) continue;
        if (table.count >= TWindowTitleTable::kMaxEntries) continue;
        TWindowTitleTable::Entry &e = table.entries[table.count++];
        e.handle = w.id;
        const size_t n = std::min(w.title.size(), size_t(TWindowTitleTable::kTitleBytes - 1));
        std::memcpy(e.title, w.title.data(), n);
        e.title[n] = '\0';
    }
    if (!text) return;
    for (int i = 0; i < table.count; ++i)
        if (std::strstr(table.entries[i].title, text)) list.close(table.entries[i].handle);
}

bool ExploreDrive(const std::string &drive, std::string *mountOut) {
    if (drive.size() < 2 || drive[1] != ':') return false;
    const char letter = char(std::toupper(static_cast<unsigned char>(drive[0])));
    for (const platform::DriveEntry &d : platform::driveTable()) {
        if (d.letter != letter) continue;
        if (d.mount.empty()) return false;
        if (mountOut) *mountOut = d.mount;
        const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
        if (!opener.isEmpty()) platform::shellOpen(opener.toStdString(), d.mount);
        return true;
    }
    return false;
}

namespace {

constexpr int kClientWidth = 265;
constexpr int kClientHeight = 164;
constexpr int kResultOk = 1;
constexpr int kResultCancel = 2;
constexpr size_t kVolumeNameBytes = 10;

} // namespace

TLoginFrm::TLoginFrm(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("LoginFrm"));
    setWindowTitle(QStringLiteral("Login"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);
    orvane::StyleDialog(this, objectName());

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setGeometry(8, 9, 249, 111);
    Bevel1->setFrameShape(QFrame::StyledPanel);
    Bevel1->setFrameShadow(QFrame::Sunken);
    ImageLogo = new QLabel(this);
    ImageLogo->setObjectName(QStringLiteral("ImageLogo"));
    ImageLogo->setGeometry(16, 16, 233, 65);
    ImageLogo->setAlignment(Qt::AlignCenter);
    lbPassword = new QLabel(QStringLiteral("Password"), this);
    lbPassword->setObjectName(QStringLiteral("lbPassword"));
    lbPassword->setGeometry(9, 89, 91, 18);
    lbPassword->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    mePassword = passwords::makeEdit(this, "mePassword", {104, 88, 137, 21});
    btnOk = new QPushButton(QStringLiteral("&OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(160, 128, 75, 25);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(32, 128, 75, 25);
    btnCancel->setAutoDefault(false);
    MultLanguage1 = new TMultLanguage(this);
    MultLanguage1->setObjectName(QStringLiteral("MultLanguage1"));
    setTabOrder(mePassword, btnOk);
    setTabOrder(btnOk, btnCancel);

    connect(btnOk, &QPushButton::clicked, this, [this] { btnOkClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });

    if (QScreen *s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    FormCreate();
    mePassword->setFocus();
}

TLoginFrm::~TLoginFrm() { passwords::wipeEdit(mePassword); }

void TLoginFrm::FormCreate() {
    const QString logo = QStringLiteral("image/loginlogo.bmp");
    if (QFile::exists(logo)) {
        QPixmap p(logo);
        if (!p.isNull()) ImageLogo->setPixmap(p);
    }
    if (MainFrm) MultLanguage1->LoadLanguage(this, MainFrm->LanguageFile);
}

void TLoginFrm::btnCancelClick() { done(kResultCancel); }

void TLoginFrm::reject() { done(kResultCancel); }

int TLoginFrm::ShowMsgStr(const QString &key, const QString &defaultText) {
    return ::ShowMsgStr(this, MainFrm ? MainFrm->LanguageFile : QString(), key, defaultText);
}

void TLoginFrm::btnOkClick() {
    TMainFrm *main = MainFrm;
    if (!main || !main->DiskControl) return;
    TDiskControl &dc = *main->DiskControl;
    // The typed password, for both calls; the edit is emptied now, the bytes
    // are overwritten when this returns.
    const passwords::Secret password(mePassword);
    passwords::wipeEdit(mePassword);

    if (!password.usable()) {
        mePassword->setFocus();
        ShowMsgStr(QLatin1String(passwords::kUnusableKey), QLatin1String(passwords::kUnusableText));
        return;
    }

    if (!dc.VerifyPassword(password.c_str(), 0)) {
        mePassword->setFocus();
        --TriesLeft;
        ShowMsgStr(QStringLiteral("PWDERR"), QStringLiteral("Password Error."));
        if (TriesLeft <= 0) done(kResultCancel);
        return;
    }

    char volume[kVolumeNameBytes] = {};
    dc.GetSecureDiskVolume(volume);
    volume[kVolumeNameBytes - 1] = '\0'; // whatever the library left there
    if (volume[0]) {
        CCloseWindow closer;
        closer.CloseByTitle(volume);
    }

    if (!dc.VerifyPassword(password.c_str(), 1)) {
        ShowMsgStr(QStringLiteral("LOGINERR"), QStringLiteral("Login failed."));
        done(kResultCancel);
        return;
    }
    if (volume[0]) {
        if (!ExploreDrive(volume))
            ShowMsgStr(QStringLiteral("NOTMOUNTED"),
                       QStringLiteral("Your FlashDisk's drive is not mounted.\nPlease mount it to open it."));
    } else {
        ShowMsgStr(QStringLiteral("MANUALOPEN"), QStringLiteral("Please open you FlashDisk from 'My Computer'."));
    }
    done(kResultOk);
}

int TLoginFrm::Execute(TMainFrm *) {
    TLoginFrm dlg;
    return dlg.exec() == kResultOk ? kResultOk : kResultCancel;
}
