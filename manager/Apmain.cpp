#include "Apmain.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFontMetrics>
#include <QFontInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include "Changepwddlg.h"
#include "Formatsettingdlg.h"
#include "Logindlg.h"
#include "Messagedlg.h"
#include "RewriteOutcome.h"
#include "Style.h"
#include "platform/DeviceEvents.h"
#include "platform/Locale.h"
#include "platform/Paths.h"

TMainFrm *MainFrm = nullptr;

namespace {

constexpr int kClientWidth = 395;
constexpr int kClientHeight = 213;

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, QRect geometry) {
    auto *l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    return l;
}

// Border and padding of a button (Style.cpp) on both sides.
constexpr int kButtonTextMargin = 10;
// A caption is not made smaller than this, past which it is no longer legible.
constexpr int kSmallestCaptionPixels = 8;

QPushButton *makeButton(QWidget *parent, const char *name, const QString &text, QRect geometry) {
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    b->setEnabled(false);
    return b;
}

} // namespace

const std::initializer_list<TDiskControl::Export> &TMainFrm::RequiredExports() {
    using E = TDiskControl::Export;
    // Every name the manager and its dialogs call through the binding.
    static const std::initializer_list<E> names = {
        E::InitFlashDisk,  E::LoadDiskLib, E::FreeDiskLib,         E::InitVariable,
        E::DiskRemove,     E::UpdateParam, E::GetConfigTable,      E::GetDiskCapacity,
        E::GetDiskSize,    E::HaveCfgTbl,  E::FormatDisk,          E::VerifyPassword,
        E::ChangePassword, E::LoginState,  E::GetSecureDiskVolume, E::GetFlashDiskInfo};
    return names;
}

TMainFrm::TMainFrm(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MainFrm"));
    setWindowTitle(QStringLiteral("Tarvel"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setStyleSheet(orvane::MainWindowStyle());

    ImageLogo = makeLabel(this, "ImageLogo", QString(), {8, 8, 377, 65});
    ImageLogo->setAlignment(Qt::AlignCenter);
    bsSkinBevel1 = new QFrame(this);
    bsSkinBevel1->setObjectName(QStringLiteral("bsSkinBevel1"));
    bsSkinBevel1->setGeometry(8, 80, 289, 121);
    bsSkinBevel1->setFrameShape(QFrame::StyledPanel);
    lbSizeCap = makeLabel(this, "lbSizeCap", QStringLiteral("lbSizeCap"), {24, 96, 73, 17});
    lbDiskCapacity = makeLabel(this, "lbDiskCapacity", QStringLiteral("lbDiskCapacity"), {96, 96, 193, 17});
    lbMsg = makeLabel(this, "lbMsg", QString(), {24, 120, 265, 21});
    lbDisk = makeLabel(this, "lbDisk", QString(), {24, 141, 265, 17});
    lbVersion = makeLabel(this, "lbVersion", QStringLiteral("Ver:3.00"), {304, 80, 81, 13});
    QFont versionFont;
    versionFont.setFamilies({QStringLiteral("Copperplate Gothic Bold"), QStringLiteral("DejaVu Serif")});
    versionFont.setBold(true);
    versionFont.setPixelSize(11);
    lbVersion->setFont(versionFont);
    BtnLogin = makeButton(this, "BtnLogin", QStringLiteral("&Login"), {304, 104, 81, 25});
    BtnChangePsw = makeButton(this, "BtnChangePsw", QStringLiteral("&Change Psw"), {304, 136, 81, 25});
    BtnFormat = makeButton(this, "BtnFormat", QStringLiteral("&Format"), {304, 168, 81, 25});
    setTabOrder(BtnFormat, BtnLogin);
    setTabOrder(BtnLogin, BtnChangePsw);
    progBar = new QProgressBar(this);
    progBar->setObjectName(QStringLiteral("progBar"));
    progBar->setGeometry(24, 160, 257, 20);
    progBar->setRange(0, 100);
    progBar->setValue(50);
    progBar->setAlignment(Qt::AlignCenter);
    progBar->setFormat(QStringLiteral("%p%"));
    QFont gaugeFont(QStringLiteral("Arial"));
    gaugeFont.setPixelSize(14);
    gaugeFont.setBold(true);
    progBar->setFont(gaugeFont);
    MultLanguage1 = new TMultLanguage(this);
    BMInitThread = new TBMThread(this);
    BMInitThread->setObjectName(QStringLiteral("BMInitThread"));
    BMFormatThread = new TBMThread(this);
    BMFormatThread->setObjectName(QStringLiteral("BMFormatThread"));
    BMKillTryThread = new TBMThread(this);
    BMKillTryThread->setObjectName(QStringLiteral("BMKillTryThread"));

    BMInitThread->OnExecute = [this] { BMInitThreadExecute(); };
    BMKillTryThread->OnExecute = [this] { BMKillTryThreadExecute(); };
    BMKillTryThread->OnTerminate = [this] { BMKillTryThreadTerminate(); };
    BMFormatThread->OnExecute = [this] { BMFormatThreadExecute(); };

    connect(BtnFormat, &QPushButton::clicked, this, [this] { BtnFormatClick(); });
    connect(BtnLogin, &QPushButton::clicked, this, [this] { BtnLoginClick(); });
    connect(BtnChangePsw, &QPushButton::clicked, this, [this] { BtnChangePswClick(); });

    if (QScreen *s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));

    // Device arrivals and removals reach WMDeviceChange from the start.
    deviceEvents_ = std::make_unique<platform::DeviceEventSource>();
    if (deviceEvents_->fd() >= 0) {
        deviceNotifier_ = new QSocketNotifier(deviceEvents_->fd(), QSocketNotifier::Read, this);
        connect(deviceNotifier_, &QSocketNotifier::activated, this, [this] { readDeviceEvents(); });
    }
}

TMainFrm::~TMainFrm() {
    // No task may outlive the window it reports to (a format still running
    // when the window was closed is let finish: stopping it would ruin the disk).
    StopWatcher = true;
    BMKillTryThread->Wait();
    BMInitThread->Wait();
    BMFormatThread->Wait();
    if (MainFrm == this) MainFrm = nullptr;
}

void TMainFrm::MakeLanguageFileName() {
    const uint32_t lcid = platform::userDefaultLcid();
    std::string dir = platform::executablePath();
    while (!dir.empty() && dir.back() != '/') dir.pop_back();
    LanguageFile = QString::fromLocal8Bit(dir) + QString::number(lcid) + QStringLiteral(".ini");
}

void TMainFrm::FormCreate() {
    MakeLanguageFileName();
    MultLanguage1->LoadLanguage(this, LanguageFile);
    FitCaptions();
    const QString logo = QStringLiteral("image/mainlogo.bmp");
    if (QFile::exists(logo)) {
        QPixmap p(logo);
        if (!p.isNull()) ImageLogo->setPixmap(p);
    }

    DiskControl = new TDiskControl;
    // A library lacking a name the manager calls would be called through a
    // null pointer later on; it is as unusable as one that does not load.
    if (!DiskControl->BindLibrary() || !DiskControl->HasAll(RequiredExports())) {
        showUnavailable(QStringLiteral("Can't load Quendal.dll"));
        return;
    }
    if (!DiskControl->LoadDiskLib()) {
        showUnavailable(QStringLiteral("Can't load SCSI.dll"));
        return;
    }
    available_ = true;
    progBar->setMaximum(100);
    progBar->setValue(0);
    Formatting = false;
    BMInitThread->Start();
    StopWatcher = false;
    BMKillTryThread->Start();
}

void TMainFrm::FitCaptions() {
    for (QPushButton *b : {BtnLogin, BtnChangePsw, BtnFormat}) {
        QFont font = b->font();
        const QString shown = QString(b->text()).remove(QLatin1Char('&'));
        const int room = b->width() - kButtonTextMargin;
        int pixels = QFontInfo(font).pixelSize();
        while (QFontMetrics(font).horizontalAdvance(shown) > room && pixels > kSmallestCaptionPixels)
            font.setPixelSize(--pixels);
        b->setFont(font);
    }
}

void TMainFrm::showUnavailable(const QString &defaultText) {
    ShowMsgStr(QStringLiteral("Error"), defaultText);
    // Nothing is being detected, and nothing will be: the window says what it
    // said in the message instead of "Detecting..." over a half-full gauge.
    lbDiskCapacity->setText(MsgText(QStringLiteral("Error"), defaultText));
    progBar->setValue(0);
}

void TMainFrm::readDeviceEvents() {
    while (auto e = deviceEvents_->next()) WMDeviceChange(e->code, &e->header);
}

void TMainFrm::WMDeviceChange(uint32_t eventCode, const platform::DevBroadcastHeader *data) {
    if (eventCode == platform::kDeviceArrival) {
        if (data && data->deviceType == platform::kDevTypeVolume)
            lbDiskCapacity->setText(
                MsgText(QStringLiteral("RERUN"), QStringLiteral("Please re-run this tool after replug Flash Disk.")));
    } else if (eventCode == platform::kDeviceRemoveComplete) {
        if (Formatting) return;
        // The library's calls must not overlap: a detection still under way is
        // let finish, and what it found is shown before the removal replaces it.
        // A detection that has just ended may still have its results queued:
        // they are shown first too, or they would land over the removal's text.
        if (BMInitThread->Running()) BMInitThread->Wait();
        QCoreApplication::sendPostedEvents(this);
        // The system reports every block device that goes (a loop device, a
        // mapping, another disk's partition), and no event names the disk the
        // library has open. So the bound disk is asked: one that still answers
        // its device information read is still here, and this removal was
        // someone else's.
        if (available_ && DiskControl) {
            uint8_t info[512] = {};
            if (DiskControl->GetFlashDiskInfo(info)) return;
            DiskControl->DiskRemove();
        }
        lbDiskCapacity->setText(MsgText(QStringLiteral("NODISK"), QStringLiteral("No Flash Disk.")));
        lbDisk->clear();
        setButtons(false, false);
    }
}

void TMainFrm::FormClose() {
    if (released_) return;
    if (Formatting) return;
    released_ = true;
    StopWatcher = true;
    QThread::msleep(static_cast<unsigned long>(CloseWaitMs));
    // The detection task may still be inside the library (a slow device); the
    // library must not be released under it.
    BMKillTryThread->Wait();
    BMInitThread->Wait();
    delete DiskControl;
    DiskControl = nullptr;
}

void TMainFrm::closeEvent(QCloseEvent *event) {
    FormClose();
    // Closing the last window ends every event loop, the format's wait among
    // them, which would then report the running format as failed and leave
    // the disk half written. The window stays until the format has ended;
    // the format run closes it itself.
    if (Formatting)
        event->ignore();
    else
        event->accept();
}

int TMainFrm::ShowMsgStr(const QString &key, const QString &defaultText) {
    return ::ShowMsgStr(this, LanguageFile, key, defaultText);
}

QString TMainFrm::MsgText(const QString &key, const QString &defaultText) const {
    return TMultLanguage::LoadMsgStr(LanguageFile, QStringLiteral("MSGSTRING"), key, defaultText);
}

void TMainFrm::setButtons(bool format, bool login) {
    BtnFormat->setEnabled(format);
    BtnLogin->setEnabled(login);
    BtnChangePsw->setEnabled(login);
}

void TMainFrm::BtnFormatClick() {
    if (!available_) return;
    if ((FormatSettingDialog ? FormatSettingDialog(this) : TFormatSetFrm::Execute(this)) != 1) return;
    if (!DiskControl->HaveCfgTbl()) {
        ShowMsgStr(QStringLiteral("NODISK"), QStringLiteral("None Flash Disk detect."));
        return;
    }
    if (DiskControl->LoginState() == 1) {
        ShowMsgStr(QStringLiteral("MUSTLOGOUT"),
                   QStringLiteral("Your FlashDisk is in Login state!\nPlease replug your Flash Disk before use."));
        return;
    }
    // The transport refuses the new layout while a volume of the disk stays
    // mounted; here the user learns which one and who holds it, before
    // anything is written.
    const QString stays = UnmountBoundDisk();
    if (!stays.isEmpty()) {
        ShowMsgStr(
            QStringLiteral("UNMOUNTKO"),
            QStringLiteral("Cannot unmount:\n%1\nNothing was written. Close what uses it and try again.").arg(stays));
        return;
    }
    FormatResult = false;
    setButtons(false, false);
    lbMsg->setText(MsgText(QStringLiteral("FORMATMSG"), QStringLiteral("Formatting,please wait.")));
    Formatting = true;
    BMFormatThread->Start();
    // Keep the window alive until the task clears Formatting.
    QEventLoop wait;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &wait, [&] {
        if (!Formatting) wait.quit();
    });
    poll.start(20);
    wait.exec();
    QThread::msleep(static_cast<unsigned long>(FormatResultDelayMs));
    if (FormatResult)
        ShowMsgStr(QStringLiteral("FORMATOK"),
                   QStringLiteral("Format Complete!\nPlease replug your Flash Disk before use."));
    else if (const rewrite::Message *refused = rewrite::refusal(FormatRefusal))
        ShowMsgStr(QString::fromLatin1(refused->key), QString::fromLatin1(refused->text));
    else
        ShowMsgStr(QStringLiteral("FORMATKO"),
                   QStringLiteral("Format Failed!\n Please replug your Flash Disk before use."));
    close();
}

void TMainFrm::BtnLoginClick() {
    if (!available_) return;
    // Logged in and the drive opened: the manager's work is done.
    if ((LoginDialog ? LoginDialog(this) : TLoginFrm::Execute(this)) == 1) close();
}

void TMainFrm::BtnChangePswClick() {
    if (!available_) return;
    // The result is not used and the window is not refreshed.
    if (ChangePasswordDialog)
        ChangePasswordDialog(this);
    else
        TChangePwdFrm::Execute(this);
}
