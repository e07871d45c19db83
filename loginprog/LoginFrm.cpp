#include "LoginFrm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

#include "ChangePwdFrm.h"
#include "Desktop.h"
#include "DeviceParameters.h"
#include "Multlanguage.h"
#include "platform/Locale.h"
#include "platform/Paths.h"

namespace {

constexpr int kClientWidth = 292;
constexpr int kClientHeight = 118;

QString filesDirectory() {
    if (!TLoginFrm::FilesDirectory.isEmpty()) return TLoginFrm::FilesDirectory;
    return QString::fromLocal8Bit(platform::programDirectory());
}

} // namespace

TLoginFrm::TLoginFrm(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("LoginFrm"));
    setWindowTitle(QStringLiteral("Keyvane"));
    setFixedSize(kClientWidth, kClientHeight);

    Label1 = new QLabel(QStringLiteral("password:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(12, 18, 72, 21);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    mePassword = new QLineEdit(this);
    mePassword->setObjectName(QStringLiteral("mePassword"));
    mePassword->setGeometry(92, 18, 188, 21);
    mePassword->setMaxLength(int(platform::kMaxPasswordChars));
    mePassword->setEchoMode(QLineEdit::Password);
    mePassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));

    lbMessage = new QLabel(this);
    lbMessage->setObjectName(QStringLiteral("lbMessage"));
    lbMessage->setGeometry(12, 48, 268, 17);

    BtnLogin = new QPushButton(QStringLiteral("&Login"), this);
    BtnLogin->setObjectName(QStringLiteral("BtnLogin"));
    BtnLogin->setGeometry(12, 80, 84, 25);
    BtnLogin->setDefault(true);
    BtnChangePassword = new QPushButton(QStringLiteral("&Change Pwd"), this);
    BtnChangePassword->setObjectName(QStringLiteral("BtnChangePassword"));
    BtnChangePassword->setGeometry(104, 80, 84, 25);
    BtnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
    BtnCancel->setGeometry(196, 80, 84, 25);

    MultLanguage1 = new TMultLanguage(this);

    setControls(false, false, false);
    connect(BtnLogin, &QPushButton::clicked, this, [this] { BtnLoginClick(); });
    connect(BtnCancel, &QPushButton::clicked, this, [this] { BtnCancelClick(); });
    connect(BtnChangePassword, &QPushButton::clicked, this, [this] { BtnChangePasswordClick(); });
    // BtnLogin is drawn as the default button: Enter in the edit presses it,
    // as it does in a dialog.
    connect(mePassword, &QLineEdit::returnPressed, this, [this] {
        if (BtnLogin->isEnabled()) BtnLoginClick();
    });

    FormCreate();
}

TLoginFrm::~TLoginFrm() = default;

void TLoginFrm::setControls(bool password, bool login, bool change) {
    mePassword->setEnabled(password);
    BtnLogin->setEnabled(login);
    BtnChangePassword->setEnabled(change);
}

void TLoginFrm::setButtons(bool enabled) {
    BtnLogin->setEnabled(enabled);
    BtnCancel->setEnabled(enabled);
    BtnChangePassword->setEnabled(enabled);
}

void TLoginFrm::passwordRefused() {
    mePassword->clear();
    mePassword->setFocus();
}

void TLoginFrm::ShowMsgStr(const char *key, const QString &defaultText, QWidget *owner) {
    const QString text = key ? TMultLanguage::LoadMsgStr(LanguageFile, QStringLiteral("MSGSTRING"),
                                                         QString::fromLatin1(key), defaultText)
                             : defaultText;
    sarvik::showMessage(owner ? owner : this, text);
}

void TLoginFrm::showMsg(const char *key, const char *defaultText) { ShowMsgStr(key, QString::fromUtf8(defaultText)); }

void TLoginFrm::closeForm() { close(); }

void TLoginFrm::pause(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

int TLoginFrm::closeWindowsShowing(const std::string &text) { return sarvik::closeWindowsShowing(text); }

sarvik::ExploreResult TLoginFrm::exploreDrive(const std::string &driveText) { return sarvik::exploreDrive(driveText); }

void TLoginFrm::FormCreate() {
    const QString dir = filesDirectory();
    LanguageFile = dir + QLatin1Char('/') + QString::number(platform::userDefaultLcid()) + QStringLiteral(".ini");
    MultLanguage1->LoadLanguage(this, LanguageFile);
    SettingsFile = dir + QLatin1Char('/') + QLatin1String(sarvik::kSettingsFileName);
    openDisk(SettingsFile.toLocal8Bit().toStdString());
}

void TLoginFrm::BtnLoginClick() { login(mePassword->text().toStdString()); }

void TLoginFrm::BtnCancelClick() { close(); }

void TLoginFrm::BtnChangePasswordClick() {
    auto *dlg = new TChangePwdFrm(this);
    dlg->exec();
    delete dlg;
}
