#include "Changepwddlg.h"

#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include "Apmain.h"
#include "Messagedlg.h"
#include "Multlanguage.h"
#include "PasswordEdit.h"
#include "RewriteOutcome.h"
#include "DialogStyle.h"

namespace {

constexpr int kClientWidth = 264;
constexpr int kClientHeight = 218;
constexpr int kResultOk = 1;
constexpr int kResultCancel = 2;

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, QRect geometry) {
    auto *l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

} // namespace

TChangePwdFrm::TChangePwdFrm(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ChangePwdFrm"));
    setWindowTitle(QStringLiteral("ChangePwdFrm"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);
    orvane::StyleDialog(this, objectName());

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setGeometry(8, 9, 249, 168);
    Bevel1->setFrameShape(QFrame::StyledPanel);
    Bevel1->setFrameShadow(QFrame::Sunken);
    ImageLogo = new QLabel(this);
    ImageLogo->setObjectName(QStringLiteral("ImageLogo"));
    ImageLogo->setGeometry(16, 16, 233, 65);
    ImageLogo->setAlignment(Qt::AlignCenter);
    lbPassword = makeLabel(this, "lbPassword", QStringLiteral("Old Password"), {35, 89, 65, 13});
    Label1 = makeLabel(this, "Label1", QStringLiteral("New Password"), {29, 116, 71, 13});
    Label2 = makeLabel(this, "Label2", QStringLiteral("Confirm Password"), {16, 143, 84, 13});
    meOldPwd = passwords::makeEdit(this, "meOldPwd", {104, 88, 137, 21});
    meNewPwd = passwords::makeEdit(this, "meNewPwd", {104, 115, 137, 21});
    meConfirmPwd = passwords::makeEdit(this, "meConfirmPwd", {104, 142, 137, 21});
    btnOk = new QPushButton(QStringLiteral("&OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(152, 184, 75, 25);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(32, 184, 75, 25);
    btnCancel->setAutoDefault(false);
    MultLanguage1 = new TMultLanguage(this);
    MultLanguage1->setObjectName(QStringLiteral("MultLanguage1"));
    setTabOrder(meOldPwd, meNewPwd);
    setTabOrder(meNewPwd, meConfirmPwd);
    setTabOrder(meConfirmPwd, btnOk);
    setTabOrder(btnOk, btnCancel);

    connect(btnOk, &QPushButton::clicked, this, [this] { btnOkClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });

    if (QScreen *s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    FormCreate();
    meOldPwd->setFocus();
}

TChangePwdFrm::~TChangePwdFrm() { wipeEdits(); }

void TChangePwdFrm::wipeEdits() {
    passwords::wipeEdit(meOldPwd);
    passwords::wipeEdit(meNewPwd);
    passwords::wipeEdit(meConfirmPwd);
}

void TChangePwdFrm::FormCreate() {
    const QString logo = QStringLiteral("image/passwordlogo.bmp");
    if (QFile::exists(logo)) {
        QPixmap p(logo);
        if (!p.isNull()) ImageLogo->setPixmap(p);
    }
    if (MainFrm) MultLanguage1->LoadLanguage(this, MainFrm->LanguageFile);
}

void TChangePwdFrm::btnCancelClick() { done(kResultCancel); }

void TChangePwdFrm::reject() { done(kResultCancel); }

int TChangePwdFrm::ShowMsgStr(const QString &key, const QString &defaultText) {
    return ::ShowMsgStr(this, MainFrm ? MainFrm->LanguageFile : QString(), key, defaultText);
}

void TChangePwdFrm::btnOkClick() {
    TMainFrm *main = MainFrm;
    if (!main || !main->DiskControl) return;
    TDiskControl &dc = *main->DiskControl;
    // Every path below either empties the edits or closes the dialog, so the
    // texts are taken now and the edits wiped at once.
    const passwords::Secret oldPwd(meOldPwd), newPwd(meNewPwd), confirm(meConfirmPwd);
    wipeEdits();

    if (!oldPwd.usable() || !newPwd.usable() || !confirm.usable()) {
        meOldPwd->setFocus();
        ShowMsgStr(QLatin1String(passwords::kUnusableKey), QLatin1String(passwords::kUnusableText));
        return;
    }

    if (!dc.VerifyPassword(oldPwd.c_str(), 0)) {
        meOldPwd->setFocus();
        --TriesLeft;
        ShowMsgStr(QStringLiteral("OLDERR"), QStringLiteral("Old Password Error."));
        if (TriesLeft <= 0) done(kResultCancel);
        return;
    }
    if (newPwd.bytes() != confirm.bytes()) {
        meOldPwd->setFocus();
        ShowMsgStr(QStringLiteral("CONFIRMERR"), QStringLiteral("Confirm Password is not same as new password!"));
        return;
    }
    const int32_t codeBefore = rewrite::errorCode(dc);
    if (dc.ChangePassword(oldPwd.c_str(), newPwd.c_str())) {
        // The library drops its copy of the device's table and reads it again.
        dc.InitVariable();
        dc.GetConfigTable(config_.data());
        dc.UpdateParam();
        ShowMsgStr(QStringLiteral("CHANGEOK"), QStringLiteral("Change Password Complete!"));
        done(kResultOk);
    } else {
        // Truthfully, read off the disk: the change may have reached one copy.
        const rewrite::Message m = rewrite::failedChange(dc, codeBefore, oldPwd.c_str(), newPwd.c_str());
        ShowMsgStr(QString::fromLatin1(m.key), QString::fromLatin1(m.text));
        done(kResultCancel);
    }
}

int TChangePwdFrm::Execute(TMainFrm *) {
    TChangePwdFrm dlg;
    return dlg.exec() == kResultOk ? kResultOk : kResultCancel;
}
