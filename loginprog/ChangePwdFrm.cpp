#include "ChangePwdFrm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "LoginFrm.h"
#include "Multlanguage.h"
#include "platform/Locale.h"

namespace {

constexpr int kClientWidth = 272;
constexpr int kClientHeight = 150;

QLineEdit *passwordEdit(QWidget *parent, const char *name, int top) {
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(116, top, 144, 21);
    e->setMaxLength(int(platform::kMaxPasswordChars));
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
    const sarvik::LoginSequence::ChangeForm form{
        [this] { clearEdits(); },
        [this](const char *key, const char *text) { login_->ShowMsgStr(key, QString::fromUtf8(text), this); }};
    switch (login_->changePassword(meOldPwd->text().toStdString(), meNewPwd->text().toStdString(),
                                   meConfirmPwd->text().toStdString(), &TriesLeft, form)) {
    case sarvik::LoginSequence::ChangeResult::TryAgain: break;
    case sarvik::LoginSequence::ChangeResult::Cancel: done(kResultCancel); break;
    case sarvik::LoginSequence::ChangeResult::Ok: done(kResultOk); break;
    }
}
