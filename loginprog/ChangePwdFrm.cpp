#include "ChangePwdFrm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "LoginFrm.h"
#include "Multlanguage.h"
#include "RewriteOutcome.h"

namespace {

constexpr int kClientWidth = 272;
constexpr int kClientHeight = 150;
constexpr int kMaxPassword = 20;

QLineEdit *passwordEdit(QWidget *parent, const char *name, int top) {
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(116, top, 144, 21);
    e->setMaxLength(kMaxPassword);
    e->setEchoMode(QLineEdit::Password);
    e->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    return e;
}

QLabel *label(QWidget *parent, const char *name, const char *caption, int top) {
    auto *l = new QLabel(QLatin1String(caption), parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(8, top, 100, 21);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

} // namespace

TChangePwdFrm::TChangePwdFrm(TLoginFrm *login) : QDialog(login), login_(login) {
    setObjectName(QStringLiteral("ChangePwdFrm"));
    setWindowTitle(QStringLiteral("Change Password"));
    setFixedSize(kClientWidth, kClientHeight);

    lbPassword = label(this, "lbPassword", "Old Password:", 16);
    meOldPwd = passwordEdit(this, "meOldPwd", 16);
    Label1 = label(this, "Label1", "New Password:", 46);
    meNewPwd = passwordEdit(this, "meNewPwd", 46);
    Label2 = label(this, "Label2", "Confirm:", 76);
    meConfirmPwd = passwordEdit(this, "meConfirmPwd", 76);

    btnOk = new QPushButton(QStringLiteral("&OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(44, 114, 80, 25);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(148, 114, 80, 25);

    MultLanguage1 = new TMultLanguage(this);
    MultLanguage1->LoadLanguage(this, login_->LanguageFile);

    connect(btnOk, &QPushButton::clicked, this, [this] { btnOkClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
}

void TChangePwdFrm::clearEdits() {
    meOldPwd->clear();
    meNewPwd->clear();
    meConfirmPwd->clear();
    meOldPwd->setFocus();
}

void TChangePwdFrm::reject() { done(kResultCancel); }

void TChangePwdFrm::btnCancelClick() { done(kResultCancel); }

void TChangePwdFrm::btnOkClick() {
    TDiskControl *dc = login_->DiskControl;
    const QByteArray oldPwd = TLoginFrm::PasswordBytes(meOldPwd);
    if (!dc->VerifyPassword(oldPwd.constData(), 0)) {
        clearEdits();
        --TriesLeft;
        login_->ShowMsgStr(QStringLiteral("OLDERR"), QStringLiteral("Old Password Error."), this);
        if (TriesLeft <= 0) done(kResultCancel);
        return;
    }
    const QByteArray newPwd = TLoginFrm::PasswordBytes(meNewPwd);
    if (newPwd != TLoginFrm::PasswordBytes(meConfirmPwd)) {
        clearEdits();
        login_->ShowMsgStr(QStringLiteral("CONFIRMERR"),
                           QStringLiteral("Confirm Password is not same as new password!"), this);
        return;
    }
    const int32_t codeBefore = rewrite::errorCode(*dc);
    if (dc->ChangePassword(oldPwd.constData(), newPwd.constData())) {
        // The library compares against its copy of the table: it must drop it
        // and read the one just written before the new password counts.
        dc->InitVariable();
        uint8_t table[512] = {};
        dc->GetConfigTable(table);
        dc->UpdateParam();
        login_->ShowMsgStr(QStringLiteral("CHANGEOK"), QStringLiteral("Change password success."), this);
        done(kResultOk);
    } else {
        // Truthfully, read off the disk: the change may have reached one copy.
        const rewrite::Message m = rewrite::failedChange(*dc, codeBefore, oldPwd.constData(), newPwd.constData());
        login_->ShowMsgStr(QString::fromLatin1(m.key), QString::fromLatin1(m.text), this);
        done(kResultCancel);
    }
}
