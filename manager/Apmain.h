// TMainFrm: the manager's main window. It binds the device control library,
// runs detection and the removal-warning watcher on worker tasks, shows the
// disk's capacity and state, and leads to the format, login and change
// password dialogs.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "BMThread.h"
#include "DiskControl.h"
#include "Multlanguage.h"
#include "Quendal.h"

class QFrame;
class QSocketNotifier;
namespace platform {
class DeviceEventSource;
struct DevBroadcastHeader;
} // namespace platform

class TMainFrm : public QWidget {
    Q_OBJECT
public:
    explicit TMainFrm(QWidget *parent = nullptr);
    ~TMainFrm() override;

    // Components, named as their objectNames.
    QLabel *ImageLogo;
    QFrame *bsSkinBevel1;
    QLabel *lbSizeCap;
    QLabel *lbDiskCapacity;
    QLabel *lbMsg;
    QLabel *lbDisk; // which disk the window works on
    QLabel *lbVersion;
    QPushButton *BtnLogin;
    QPushButton *BtnChangePsw;
    QPushButton *BtnFormat;
    QProgressBar *progBar;
    TMultLanguage *MultLanguage1;
    TBMThread *BMInitThread;
    TBMThread *BMFormatThread;
    TBMThread *BMKillTryThread;

    // Own fields. The flags are written by one thread and polled by another.
    QString LanguageFile;
    std::atomic<bool> Formatting{false};
    std::atomic<bool> StopWatcher{false};
    TDiskControl *DiskControl = nullptr;
    FormatSettings Settings{};
    std::atomic<bool> FormatResult{false};
    // Library code of a format refused before its first write (codes 18 to 20), else 0.
    std::atomic<int32_t> FormatRefusal{0};

    // Start-up: language, logo, library binding, then the two tasks. Programs
    // call it once, right after constructing the window.
    void FormCreate();
    // The buttons keep the layout's size: a caption that a language makes
    // wider than its button is drawn in a smaller font rather than clipped.
    void FitCaptions();
    void MakeLanguageFileName();
    // The system's device-change notification: event code and its data.
    void WMDeviceChange(uint32_t eventCode, const platform::DevBroadcastHeader *data);
    void FormClose();

    int ShowMsgStr(const QString &key, const QString &defaultText);
    // The text of a message key for a label (no dialog).
    QString MsgText(const QString &key, const QString &defaultText) const;

    // Tasks (Initthread, Killtry, Formatthread).
    void BMInitThreadExecute();
    void BMKillTryThreadExecute();
    void BMKillTryThreadTerminate();
    void BMFormatThreadExecute();

    void BtnFormatClick();
    void BtnLoginClick();
    void BtnChangePswClick();

    // True when FormCreate bound the library and its transport.
    bool Available() const { return available_; }
    // Takes a binding made elsewhere (with its transport loaded) in place of
    // FormCreate's own, for a host or a test that drives the tasks itself.
    void UseDiskControl(TDiskControl *control) {
        DiskControl = control;
        available_ = control != nullptr;
    }

    // How long FormClose gives the watcher to notice StopWatcher (ms).
    static inline int CloseWaitMs = 2000;
    // Pause between the end of a format and its result message (ms).
    static inline int FormatResultDelayMs = 1000;

    // The dialogs the buttons open. Each returns the dialog's result (1 for
    // Start/OK, 2 for Cancel or close). Unset, the buttons open the dialogs
    // of this build; tests put stand-ins here.
    static inline std::function<int(TMainFrm *)> FormatSettingDialog;
    static inline std::function<int(TMainFrm *)> LoginDialog;
    static inline std::function<int(TMainFrm *)> ChangePasswordDialog;

    // The exports the manager calls; a library lacking one is unusable.
    static const std::initializer_list<TDiskControl::Export> &RequiredExports();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setButtons(bool format, bool login);
    // A library or transport that cannot be used: told in a message and left
    // on the window, the gauge empty.
    void showUnavailable(const QString &defaultText);
    void readDeviceEvents();

    bool available_ = false;
    bool released_ = false; // FormClose has let go of the library
    std::unique_ptr<platform::DeviceEventSource> deviceEvents_;
    QSocketNotifier *deviceNotifier_ = nullptr;

public:
    platform::DeviceEventSource *DeviceEvents() const { return deviceEvents_.get(); }
};

// The one main window of the process; the dialogs and tasks reach it here.
extern TMainFrm *MainFrm;

// The manager's progress callback for FormatDisk.
extern "C" int32_t FormatProgress(int32_t percent, const char *text);

// The classification of the running system the detection task asks for: 5 for
// the NT family, 4 for Windows ME, 3 for the older 95/98 family. Tests replace it.
extern int (*OsGeneration)();

// The disk the transport is about to take: its node and identity (or the
// emulated disk's folder), and how many flash disks there are to choose from.
struct BoundDisk {
    QString node;     // "/dev/sg2", or the emulated disk's folder; empty when none is ready
    QString identity; // "MORVAN FLASH DISK 2.00", "emulated flash disk"
    int candidates = 0;
};
// Looks at the disks with the transport letting go of the one it holds. Tests
// replace it.
extern BoundDisk (*SurveyDisks)(TDiskControl &dll);
// Unmounts every mounted volume of the disk the survey found before a format;
// the volumes that stay, each with what the system said and who holds it
// (empty when none does). Tests replace it.
extern QString (*UnmountBoundDisk)();
