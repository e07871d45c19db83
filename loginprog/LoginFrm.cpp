#include "LoginFrm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

#include <array>

#include "ChangePwdFrm.h"
#include "DeviceParameters.h"
#include "Desktop.h"
#include "Multlanguage.h"
#include "StartParameter.h"
#include "platform/DynamicLibrary.h"
#include "platform/Locale.h"
#include "platform/Paths.h"

namespace {

constexpr int kClientWidth = 292;
constexpr int kClientHeight = 118;
constexpr int kMaxPassword = 20;

// Texts the program shows without a key of the language file.
const char kInitError[] = "Initialize error,please repush your FlashDisk.";
const char kManualOpen[] = "Please open your FlashDisk from 'My Computer'.";

using E = TDiskControl::Export;

// Every export the program calls: a library lacking one of them would be
// called through a null pointer, so it counts as missing altogether.
constexpr std::array kCalledExports = {E::InitFlashDisk, E::InitVariable, E::LoadDiskLib,    E::GetConfigTable,
                                       E::UpdateParam,   E::LoginState,   E::VerifyPassword, E::ChangePassword};

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
    mePassword->setMaxLength(kMaxPassword);
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

    FormCreate();
}

TLoginFrm::~TLoginFrm() { delete DiskControl; }

void TLoginFrm::setControls(bool password, bool login, bool change) {
    mePassword->setEnabled(password);
    BtnLogin->setEnabled(login);
    BtnChangePassword->setEnabled(change);
}

QByteArray TLoginFrm::PasswordBytes(const QLineEdit *edit) {
    // The bytes a terminal in this locale would give for the same password, so
    // that a password set with the command-line tool is the same one here.
    return edit->text().toLocal8Bit();
}

void TLoginFrm::ShowMsgStr(const QString &key, const QString &defaultText, QWidget *owner) {
    sarvik::showMessage(owner ? owner : this,
                        TMultLanguage::LoadMsgStr(LanguageFile, QStringLiteral("MSGSTRING"), key, defaultText));
}

void TLoginFrm::FormCreate() {
    const QString dir = filesDirectory();
    LanguageFile = dir + QLatin1Char('/') + QString::number(platform::userDefaultLcid()) + QStringLiteral(".ini");
    MultLanguage1->LoadLanguage(this, LanguageFile);
    SettingsFile = dir + QLatin1Char('/') + QLatin1String(sarvik::kSettingsFileName);

    DiskControl = new TDiskControl;
    const bool bound = DiskControl->BindLibrary();
    if (DiskControl->Module)
        GetOsVersion =
            reinterpret_cast<decltype(GetOsVersion)>(platform::bindSymbol(DiskControl->Module, "GetOsVersion"));
    Usable = bound;
    for (E e : kCalledExports)
        if (!DiskControl->Address(e)) Usable = false;
    if (!Usable) {
        sarvik::showMessage(this, QString::fromLatin1(kInitError));
        return;
    }

    FileLoginOnly = false;
    sarvik::fillParameterBlock(SettingsFile.toLocal8Bit().toStdString(), &ParamBlock);
    TriesLeft = 3;
    DiskControl->LoadDiskLib();

    const int32_t r = DiskControl->InitFlashDisk(&ParamBlock);
    if (r == 2) {
        FileLoginOnly = true;
        setControls(true, true, false);
    } else if (r < 0) {
        return;
    }

    uint8_t table[512] = {};
    if (DiskControl->GetConfigTable(table) > 0) {
        DiskControl->UpdateParam();
        if (DiskControl->LoginState() == 0) setControls(true, true, true);
    }
}

void TLoginFrm::BtnLoginClick() {
    BtnLogin->setEnabled(false);
    BtnCancel->setEnabled(false);
    BtnChangePassword->setEnabled(false);
    const QByteArray password = PasswordBytes(mePassword);

    sarvik::DriveTexts drive;
    if (!FileLoginOnly) {
        if (!DiskControl->VerifyPassword(password.constData(), 0)) {
            mePassword->clear();
            mePassword->setFocus();
            if (--TriesLeft <= 0) {
                close();
                return;
            }
            ShowMsgStr(QStringLiteral("PWDERR"), QStringLiteral("Password Error."));
            BtnLogin->setEnabled(true);
            BtnCancel->setEnabled(true);
            BtnChangePassword->setEnabled(true);
            return;
        }
        drive = sarvik::driveTextsOf(sarvik::StartParameter);
        if (drive.letter) {
            // Windows showing the login volume would hold it while the device
            // swaps in the secure area under the same letter.
            sarvik::closeWindowsShowing(drive.driveText);
            sarvik::closeWindowsShowing(drive.bracketed);
        }
    }

    if (DiskControl->VerifyPassword(password.constData(), 1)) {
        QThread::msleep(static_cast<unsigned long>(LoginWaitMs));
        if (drive.driveText.empty()) {
            sarvik::showMessage(this, QString::fromLatin1(kManualOpen));
        } else {
            switch (sarvik::exploreDrive(drive.driveText)) {
            case sarvik::ExploreResult::Opened: break;
            case sarvik::ExploreResult::NoFolder:
                sarvik::showMessage(
                    this, QStringLiteral("%1 is not mounted on this computer, so it cannot be "
                                         "shown.\n%2")
                              .arg(QString::fromStdString(drive.driveText), QString::fromLatin1(kManualOpen)));
                break;
            case sarvik::ExploreResult::NoOpener: sarvik::showMessage(this, QString::fromLatin1(kManualOpen)); break;
            }
        }
        close();
    } else {
        ShowMsgStr(QStringLiteral("LOGINERR"), QStringLiteral("Login Failed."));
        close();
    }
}

void TLoginFrm::BtnCancelClick() { close(); }

void TLoginFrm::BtnChangePasswordClick() {
    auto *dlg = new TChangePwdFrm(this);
    dlg->exec();
    delete dlg;
}
