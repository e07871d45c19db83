// The main window: its layout, every row of its state table, detection against
// the emulated flash disk and against a library with chosen answers, device
// events, the format run's checks and the close.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>

#include <filesystem>
#include <thread>

#include "Apmain.h"
#include "MainFrmFakes.h"
#include "Messagedlg.h"
#include "QtTestApp.h"
#include "platform/DeviceEvents.h"
#include "FlashEmulator.h"

namespace fs = std::filesystem;

namespace {

// No language file for this locale beside the test program: the English
// defaults show.
struct Environment : ::testing::Environment {
    void SetUp() override {
        setenv("LC_ALL", "fr_FR.UTF-8", 1);
        TMainFrm::CloseWaitMs = 0;
        TMainFrm::FormatResultDelayMs = 0;
    }
};
::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new Environment);

struct Window {
    TMainFrm frm;
    QStringList messages;
    Window() {
        MainFrm = &frm;
        fakes::reset();
        TMessageFrm::Responder = [this](TMessageFrm *d) {
            messages << d->mmMsg->toPlainText();
            d->BtnOk->click();
        };
    }
    ~Window() {
        frm.close();
        TMessageFrm::Responder = nullptr;
        TMainFrm::FormatSettingDialog = nullptr;
    }
    // Runs the detection task on the stand-in library and waits for its end.
    void detect() {
        frm.UseDiskControl(fakes::control());
        ASSERT_TRUE(frm.BMInitThread->Start());
        ASSERT_TRUE(fakes::waitFor([&] { return !frm.BMInitThread->Running(); }));
    }
    std::string buttons() const {
        return std::string(frm.BtnFormat->isEnabled() ? "F" : "-") + (frm.BtnLogin->isEnabled() ? "L" : "-") +
               (frm.BtnChangePsw->isEnabled() ? "C" : "-");
    }
};

struct Disk {
    fs::path dir;
    explicit Disk(const flashemu::DiskOptions &o = {}, const flashemu::Faults *faults = nullptr) {
        dir = fs::absolute(fs::temp_directory_path() /
                           ("mainfrm-disk-" + std::to_string(getpid()) + "-" + std::to_string(counter++)));
        std::string error;
        if (!flashemu::createDisk(dir.string(), o, &error)) throw std::runtime_error(error);
        if (faults) flashemu::setFaults(dir.string(), *faults);
        setenv(flashemu::kDiskEnv, dir.c_str(), 1);
    }
    ~Disk() {
        unsetenv(flashemu::kDiskEnv);
        fs::remove_all(dir);
    }
    static inline int counter = 0;
};

// The caption inside the button's border and padding, in the button's font.
bool captionFits(const QPushButton *b) {
    return QFontMetrics(b->font()).horizontalAdvance(QString(b->text()).remove('&')) <= b->width() - 10;
}

} // namespace

TEST(MainFrm, StartingStateAndLayout) {
    Window w;
    TMainFrm &f = w.frm;
    EXPECT_EQ(f.objectName(), "MainFrm");
    EXPECT_EQ(f.windowTitle(), "Tarvel");
    EXPECT_EQ(f.size(), QSize(395, 213));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    for (QWidget *c : {(QWidget *)f.ImageLogo, (QWidget *)f.lbMsg, (QWidget *)f.BtnFormat, (QWidget *)f.progBar})
        EXPECT_TRUE(f.rect().contains(c->geometry())) << c->objectName().toStdString();
    EXPECT_EQ(f.lbSizeCap->text(), "lbSizeCap");
    EXPECT_EQ(f.lbDiskCapacity->text(), "lbDiskCapacity");
    EXPECT_EQ(f.lbMsg->text(), "");
    EXPECT_EQ(w.buttons(), "---");
    EXPECT_EQ(f.progBar->value(), 50);
    // Tab order: Format, Login, Change Psw.
    QStringList chain;
    for (QWidget *x = f.BtnFormat->nextInFocusChain(); x != f.BtnFormat; x = x->nextInFocusChain())
        if (qobject_cast<QPushButton *>(x)) chain << x->objectName();
    EXPECT_EQ(chain.mid(0, 2), (QStringList{"BtnLogin", "BtnChangePsw"}));
}

TEST(MainFrm, LanguageFileIsNamedAfterTheLocaleBesideTheProgram) {
    Window w;
    const QString dir = QCoreApplication::applicationDirPath();
    setenv("LC_ALL", "zh_TW.UTF-8", 1);
    w.frm.MakeLanguageFileName();
    EXPECT_EQ(w.frm.LanguageFile, dir + "/1028.ini");
    setenv("LC_ALL", "ko_KR.UTF-8", 1);
    w.frm.MakeLanguageFileName();
    EXPECT_EQ(w.frm.LanguageFile, dir + "/1042.ini");
    setenv("LC_ALL", "fr_FR.UTF-8", 1);
}

TEST(MainFrm, ShippedLanguageFilesNameTheWindowsTexts) {
    const QString dir = QCoreApplication::applicationDirPath();
    for (const char *lang : {"1028", "1033", "1042", "2052"}) {
        Window w;
        w.frm.LanguageFile = dir + "/" + lang + ".ini";
        ASSERT_TRUE(QFile::exists(w.frm.LanguageFile)) << lang;
        w.frm.MultLanguage1->LoadLanguage(&w.frm, w.frm.LanguageFile);
        EXPECT_NE(w.frm.lbSizeCap->text(), "lbSizeCap") << lang;
        EXPECT_FALSE(w.frm.lbSizeCap->text().contains(QChar(0xFFFD))) << lang;
        EXPECT_FALSE(w.frm.BtnFormat->text().isEmpty()) << lang;
        for (const char *key : {"NODISK", "UNKNOWDISK", "RERUN", "FORMATMSG", "FORMATOK", "FORMATKO", "MUSTLOGOUT"})
            EXPECT_NE(w.frm.MsgText(key, "missing"), "missing") << lang << " " << key;
        EXPECT_FALSE(w.frm.MsgText("NODISK", "").contains(QChar(0xFFFD))) << lang;
        w.frm.FitCaptions();
        for (QPushButton *b : {w.frm.BtnLogin, w.frm.BtnChangePsw, w.frm.BtnFormat})
            EXPECT_TRUE(captionFits(b)) << lang << " " << b->objectName().toStdString();
    }
}

TEST(MainFrm, ACaptionWiderThanItsButtonIsDrawnSmallerNotClipped) {
    Window w;
    w.frm.BtnChangePsw->setText(QStringLiteral("&Change Password"));
    ASSERT_FALSE(captionFits(w.frm.BtnChangePsw));
    w.frm.FitCaptions();
    EXPECT_TRUE(captionFits(w.frm.BtnChangePsw));
    EXPECT_TRUE(captionFits(w.frm.BtnLogin));
}

TEST(Detection, EmulatedDiskReadyNoDiskAndUnknownDisk) {
    // Ready, in English and in Traditional Chinese (Big5 language file).
    const struct {
        const char *locale, *sizeCap, *picture;
    } languages[] = {{"en_US.UTF-8", "Capacity:", "mainfrm.png"}, {"zh_TW.UTF-8", "容量：", "mainfrm-1028.png"}};
    for (const auto &l : languages) {
        flashemu::DiskOptions o;
        o.sectors = 2048000;
        Disk disk(o);
        setenv("LC_ALL", l.locale, 1);
        Window w;
        w.frm.FormCreate();
        setenv("LC_ALL", "fr_FR.UTF-8", 1);
        ASSERT_TRUE(w.frm.Available());
        EXPECT_TRUE(w.messages.isEmpty());
        EXPECT_EQ(w.frm.progBar->value(), 0);
        EXPECT_EQ(w.frm.lbSizeCap->text(), QString::fromUtf8(l.sizeCap));
        ASSERT_TRUE(fakes::waitFor([&] { return !w.frm.BMInitThread->Running(); }));
        EXPECT_EQ(w.frm.lbDiskCapacity->text(), "1000MByte");
        // A factory-fresh disk has the normal layout, whose login state is -1:
        // Format only.
        EXPECT_EQ(w.buttons(), "F--");
        EXPECT_EQ(w.frm.lbMsg->text(), "");
        EXPECT_FALSE(w.frm.ImageLogo->pixmap().isNull()); // the test runs in the output folder
        // The window as the user sees it when a disk is ready.
        const QString artifacts = QStringLiteral(ARTIFACT_DIR);
        QDir().mkpath(artifacts);
        EXPECT_TRUE(w.frm.grab().save(artifacts + "/" + l.picture));
    }
    const struct {
        const char *what;
        bool refuse, absent;
        flashemu::TableKind table;
        const char *text;
    } cases[] = {
        {"raw access refused (2)", true, false, flashemu::TableKind::Version, "No Flash Disk."},
        {"no device (-1)", false, true, flashemu::TableKind::Version, "No Flash Disk."},
        {"no table", false, false, flashemu::TableKind::None, "Unknow Flash Disk."},
    };
    for (const auto &c : cases) {
        flashemu::DiskOptions o;
        o.sectors = 100000;
        o.table = c.table;
        flashemu::Faults faults;
        faults.refuseRawAccess = c.refuse;
        faults.absent = c.absent;
        Disk disk(o, &faults);
        Window w;
        w.frm.FormCreate();
        ASSERT_TRUE(w.frm.Available()) << c.what;
        ASSERT_TRUE(fakes::waitFor([&] { return !w.frm.BMInitThread->Running(); }));
        EXPECT_EQ(w.frm.lbDiskCapacity->text(), c.text) << c.what;
        EXPECT_EQ(w.buttons(), "---") << c.what;
    }
}

TEST(Detection, ShowsTheDiskItIsBoundToAndThatThereAreMore) {
    flashemu::DiskOptions o;
    o.sectors = 2048000;
    Disk disk(o);
    setenv("LC_ALL", "en_US.UTF-8", 1);
    // Two flash disks plugged in, as the pass-through would find them.
    const auto survey = SurveyDisks;
    SurveyDisks = [](TDiskControl &) {
        return BoundDisk{QStringLiteral("/dev/sg2"), QStringLiteral("MORVAN FLASH DISK 2.00"), 2};
    };
    Window w;
    w.frm.FormCreate();
    setenv("LC_ALL", "fr_FR.UTF-8", 1);
    ASSERT_TRUE(fakes::waitFor([&] { return !w.frm.BMInitThread->Running(); }));
    SurveyDisks = survey;
    EXPECT_EQ(w.frm.lbDisk->text(), "Disk: /dev/sg2, 1000MByte (first of 2 disks)");
    EXPECT_TRUE(w.frm.lbDisk->toolTip().endsWith("MORVAN FLASH DISK 2.00")) << w.frm.lbDisk->toolTip().toStdString();
    // The window as docs/real-disks.md shows it.
    const QString artifacts = QStringLiteral(ARTIFACT_DIR);
    QDir().mkpath(artifacts);
    EXPECT_TRUE(w.frm.grab().save(artifacts + "/mainfrm-bound.png"));
    // The bound disk's removal leaves no disk named.
    flashemu::Faults gone;
    gone.absent = true;
    flashemu::setFaults(disk.dir.string(), gone);
    w.frm.WMDeviceChange(platform::kDeviceRemoveComplete, nullptr);
    EXPECT_EQ(w.frm.lbDisk->text(), "");
}

TEST(Detection, AnswersOfTheLibrary) {
    const struct {
        int32_t init, table, capacity, login;
        int generation;
        const char *text, *buttons;
    } cases[] = {
        {0, 1, 2048000, 0, 5, "1000MByte", "FLC"},
        {1, 1, 4096, 0, 4, "2MByte", "FLC"}, // 1 counts as found on Windows ME only
        {1, 1, 4096, 0, 5, "No Flash Disk.", "---"},
        {2, 1, 4096, 0, 5, "No Flash Disk.", "---"},
        {-1, 1, 4096, 0, 4, "No Flash Disk.", "---"},
        {3, 1, 4096, 0, 5, "Flash Disk in use by another program.", "---"},
        {0, 0, 4096, 0, 5, "Unknow Flash Disk.", "---"},
        {0, -3, 4096, 0, 5, "Unknow Flash Disk.", "---"},
        {0, 1, 4096, -1, 5, "2MByte", "F--"},  // login state unknown
        {0, 1, 4096, 1, 5, "2MByte", "F--"},   // secure area open
        {0, 1, 4095, 0, 5, "1MByte", "FLC"},   // truncated
        {0, 1, -3000, 0, 5, "-1MByte", "FLC"}, // signed, toward zero
    };
    for (const auto &c : cases) {
        Window w;
        auto &a = fakes::answers();
        a.init = c.init, a.table = c.table, a.capacity = c.capacity, a.login = c.login;
        const int generation = c.generation;
        static int chosen;
        chosen = generation;
        OsGeneration = [] { return chosen; };
        w.detect();
        EXPECT_EQ(w.frm.lbDiskCapacity->text(), c.text) << c.init << "/" << c.table << "/" << c.login;
        EXPECT_EQ(w.buttons(), c.buttons) << c.init << "/" << c.table << "/" << c.login;
    }
    OsGeneration = [] { return 5; };
}

TEST(DeviceChange, ArrivalRemovalAndFormatting) {
    Window w;
    w.detect();
    ASSERT_EQ(w.buttons(), "FLC");
    platform::DevBroadcastHeader volume{12, platform::kDevTypeVolume, 0};
    platform::DevBroadcastHeader port{12, 3, 0};

    // Arrivals: a volume shows the rerun text and changes nothing else; others are ignored.
    w.frm.WMDeviceChange(platform::kDeviceArrival, &port);
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "1000MByte");
    w.frm.WMDeviceChange(platform::kDeviceArrival, nullptr);
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "1000MByte");
    w.frm.WMDeviceChange(platform::kDeviceArrival, &volume);
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "Please re-run this tool after replug Flash Disk.");
    EXPECT_EQ(w.buttons(), "FLC");
    w.frm.WMDeviceChange(0x0007, &volume); // another event code
    EXPECT_EQ(w.buttons(), "FLC");

    // A removal while formatting changes nothing.
    w.frm.Formatting = true;
    w.frm.WMDeviceChange(platform::kDeviceRemoveComplete, &port);
    EXPECT_EQ(fakes::answers().removes, 0);
    EXPECT_EQ(w.buttons(), "FLC");
    w.frm.Formatting = false;

    // The removal of another device (a loop device, another disk's
    // partition) while the bound disk still answers: nothing changes.
    w.frm.WMDeviceChange(platform::kDeviceRemoveComplete, &volume);
    EXPECT_EQ(fakes::answers().removes, 0);
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "Please re-run this tool after replug Flash Disk.");
    EXPECT_EQ(w.buttons(), "FLC");

    // The bound disk's own removal while idle: No disk.
    fakes::answers().present = 0;
    w.frm.WMDeviceChange(platform::kDeviceRemoveComplete, &port);
    EXPECT_EQ(fakes::answers().removes, 1);
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "No Flash Disk.");
    EXPECT_EQ(w.buttons(), "---");

    // Events from the system's source reach the same handler.
    platform::DeviceEvent e;
    e.code = platform::kDeviceArrival;
    e.header.deviceType = platform::kDevTypeVolume;
    w.frm.DeviceEvents()->inject(e);
    EXPECT_TRUE(fakes::waitFor(
        [&] { return w.frm.lbDiskCapacity->text() == "Please re-run this tool after replug Flash Disk."; }, 2000));
}

TEST(DeviceChange, RemovalDuringDetectionWaitsForItAndWins) {
    Window w;
    fakes::answers().holdInit = true;
    w.frm.UseDiskControl(fakes::control());
    ASSERT_TRUE(w.frm.BMInitThread->Start());
    ASSERT_TRUE(fakes::waitFor([] { return fakes::answers().initInside.load(); }));
    // Detecting: the form's own text, nothing enabled.
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "lbDiskCapacity");
    EXPECT_EQ(w.buttons(), "---");
    std::thread release([] {
        QThread::msleep(30);
        fakes::answers().holdInit = false;
    });
    platform::DevBroadcastHeader volume{12, platform::kDevTypeVolume, 0};
    fakes::answers().present = 0;
    w.frm.WMDeviceChange(platform::kDeviceRemoveComplete, &volume);
    release.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(fakes::answers().removes, 1); // after detection, not during it
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "No Flash Disk.");
    EXPECT_EQ(w.buttons(), "---");
}

TEST(DeviceChange, RemovalBeforeTheLibraryIsBoundIsSafe) {
    Window w;
    platform::DevBroadcastHeader volume{12, platform::kDevTypeVolume, 0};
    w.frm.WMDeviceChange(platform::kDeviceRemoveComplete, &volume);
    EXPECT_EQ(w.frm.lbDiskCapacity->text(), "No Flash Disk.");
    EXPECT_EQ(w.buttons(), "---");
}

TEST(FormatRun, ChecksBeforeTheFormat) {
    const struct {
        int dialog;
        uint8_t haveTable;
        int32_t login;
        int tableChecks;
        const char *message;
        bool busyVolume = false;
    } cases[] = {
        {2, 1, 0, 0, nullptr}, // cancelled: no check, no message
        {1, 0, 0, 1, "None Flash Disk detect."},
        {1, 1, 1, 1, "Your FlashDisk is in Login state!\nPlease replug your Flash Disk before use."},
        {1, 1, 0, 1,
         "Cannot unmount:\n/dev/sdb1 (/media/u/PUBLIC): target is busy; held by bash (pid 77)\nNothing was "
         "written. Close what uses it and try again.",
         true},
    };
    const auto unmount = UnmountBoundDisk;
    for (const auto &c : cases) {
        Window w;
        w.detect();
        const int dialog = c.dialog;
        TMainFrm::FormatSettingDialog = [dialog](TMainFrm *) { return dialog; };
        static bool busy;
        busy = c.busyVolume;
        UnmountBoundDisk = [] {
            return busy ? QStringLiteral("/dev/sdb1 (/media/u/PUBLIC): target is busy; held by bash (pid 77)")
                        : QString();
        };
        fakes::answers().haveTable = c.haveTable;
        fakes::answers().login = c.login;
        w.frm.BtnFormat->click();
        EXPECT_EQ(fakes::answers().haveTableCalls, c.tableChecks);
        EXPECT_EQ(fakes::answers().formats, 0);
        EXPECT_EQ(w.messages, c.message ? QStringList{c.message} : QStringList{});
        EXPECT_FALSE(w.frm.Formatting);
        EXPECT_EQ(w.frm.lbMsg->text(), "");
    }
    UnmountBoundDisk = unmount;
}

TEST(FormatRun, FormattingStateProgressResultAndClose) {
    for (const uint8_t ok : {uint8_t(1), uint8_t(0)}) {
        Window w;
        w.frm.show();
        w.detect();
        fakes::answers().login = -1; // an unknown login state does not refuse a format
        fakes::answers().formatOk = ok;
        fakes::answers().holdFormat = true;
        TMainFrm::FormatSettingDialog = [](TMainFrm *) { return 1; };
        struct {
            QString msg, gauge, capacity;
            std::string buttons;
            bool formatting = false;
            int removes = -1, frees = -1;
            bool visible = false;
        } during;
        // Looks at the window while the task runs, from the window's own wait
        // loop: when the gauge takes the task's first report. (A check queued
        // ahead of the click and waiting inside a nested loop would miss a
        // report posted before it began: Qt delivers that only after the
        // queued check returns.)
        bool looked = false;
        QObject::connect(w.frm.progBar, &QProgressBar::valueChanged, &w.frm, [&](int value) {
            if (looked || value != 10) return;
            looked = true;
            platform::DevBroadcastHeader volume{12, platform::kDevTypeVolume, 0};
            w.frm.WMDeviceChange(platform::kDeviceRemoveComplete, &volume);
            w.frm.WMDeviceChange(platform::kDeviceArrival, &volume);
            w.frm.close(); // closing now skips the release, and the window stays
            during = {w.frm.lbMsg->text(), w.frm.progBar->text(),    w.frm.lbDiskCapacity->text(), w.buttons(),
                      w.frm.Formatting,    fakes::answers().removes, fakes::answers().frees,       w.frm.isVisible()};
            fakes::answers().holdFormat = false;
        });
        // Only a report that never comes lets this end the wait.
        QTimer::singleShot(120000, &w.frm, [] { fakes::answers().holdFormat = false; });
        w.frm.BtnFormat->click();
        EXPECT_EQ(during.msg, "Formatting,please wait.");
        EXPECT_EQ(during.gauge, "Preparing-- 10%");
        EXPECT_EQ(during.capacity, "Please re-run this tool after replug Flash Disk.");
        EXPECT_EQ(during.buttons, "---");
        EXPECT_TRUE(during.formatting);
        EXPECT_EQ(during.removes, 0);
        EXPECT_EQ(during.frees, 0);
        EXPECT_TRUE(during.visible);
        EXPECT_TRUE(looked) << "the gauge never showed the first report";
        EXPECT_EQ(fakes::answers().formats, 1);
        EXPECT_FALSE(w.frm.Formatting);
        EXPECT_EQ(w.frm.FormatResult, ok != 0);
        // The last report was posted before the task ended.
        EXPECT_TRUE(fakes::waitFor([&] { return w.frm.progBar->value() == 100; }));
        EXPECT_EQ(w.messages, QStringList{ok ? "Format Complete!\nPlease replug your Flash Disk before use."
                                             : "Format Failed!\n Please replug your Flash Disk before use."});
        // The program ends after the message, releasing the library.
        EXPECT_FALSE(w.frm.isVisible());
        EXPECT_EQ(fakes::answers().frees, 1);
        EXPECT_EQ(w.frm.DiskControl, nullptr);
    }
}

TEST(Close, WaitsForTheWatcherThenReleasesTheLibraryOnce) {
    Window w;
    w.detect();
    w.frm.StopWatcher = false;
    ASSERT_TRUE(w.frm.BMKillTryThread->Start());
    const int saved = TMainFrm::CloseWaitMs;
    TMainFrm::CloseWaitMs = 2000;
    QElapsedTimer t;
    t.start();
    w.frm.close();
    const qint64 took = t.elapsed();
    TMainFrm::CloseWaitMs = saved;
    EXPECT_GE(took, 2000);
    EXPECT_TRUE(w.frm.StopWatcher);
    EXPECT_FALSE(w.frm.BMKillTryThread->Running());
    EXPECT_EQ(fakes::answers().frees, 1);
    EXPECT_EQ(w.frm.DiskControl, nullptr);
    w.frm.close();
    EXPECT_EQ(fakes::answers().frees, 1);
}

TEST(BMThread, OneWorkerAtATimeAndTerminateOnTheWindowThread) {
    TBMThread t;
    std::atomic<bool> release{false};
    std::atomic<int> runs{0};
    Qt::HANDLE worker = nullptr, terminated = nullptr;
    t.OnExecute = [&] {
        worker = QThread::currentThreadId();
        ++runs;
        while (!release) QThread::msleep(1);
    };
    int terminations = 0;
    t.OnTerminate = [&] {
        terminated = QThread::currentThreadId();
        ++terminations;
    };
    EXPECT_TRUE(t.Start());
    EXPECT_FALSE(t.Start());
    release = true;
    ASSERT_TRUE(fakes::waitFor([&] { return terminations == 1; }));
    EXPECT_EQ(runs, 1);
    EXPECT_NE(worker, QThread::currentThreadId());
    EXPECT_EQ(terminated, QThread::currentThreadId());
    EXPECT_TRUE(t.Start()); // ended: may run again
    ASSERT_TRUE(fakes::waitFor([&] { return terminations == 2; }));
    EXPECT_EQ(runs, 2);
}
