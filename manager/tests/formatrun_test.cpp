// The format run through the main window on the emulated flash disk: the
// settings dialog answered as a user would, the gauge moving through the
// library's phases, the result message, the program closing itself, and the
// volumes left on the disk checked by fsck.fat and mtools. Also the formats
// the window refuses after the dialog.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>

#include <fstream>
#include <sstream>

#include "DialogSupport.h"
#include "FatTools.h"
#include "Formatsettingdlg.h"
#include "platform/DeviceEvents.h"

namespace {

::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new dialogs::QuietEnvironment);

const char *const kFormatOk = "Format Complete!\nPlease replug your Flash Disk before use.";
const QStringList kPhases = {"Preparing--",          "Building file system--",
                             "Update information--", "Waiting for disk reset--",
                             "Closing Flash Disk--", "Finish--"};

struct Volume {
    std::string letter;
    uint64_t offset = 0, length = 0;
};

// The volumes the disk shows the host now, from its published drive map.
std::vector<Volume> volumes(const dialogs::Disk &disk) {
    std::ifstream in(flashemu::drivesPath(disk.str()));
    std::vector<Volume> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream f(line);
        Volume v;
        std::string source;
        std::getline(f, v.letter, '\t');
        std::getline(f, source, '\t');
        f >> v.offset >> v.length;
        out.push_back(v);
    }
    return out;
}

// fsck.fat -n finds nothing wrong with the volume and mtools lists it.
void checkVolume(const dialogs::Disk &disk, const Volume &v) {
    SCOPED_TRACE("volume " + v.letter + " at " + std::to_string(v.offset));
    const std::string image = flashemu::dataImagePath(disk.str());
    const std::string copy = disk.str() + "-volume.img";
    ASSERT_TRUE(fattools::extractRange(image, v.offset, v.length, copy));
    std::string all;
    // Template A's byte after the drive number reads as the dirty bit to fsck.
    const auto problems = fattools::fsckProblems(copy, true, nullptr, &all);
    EXPECT_TRUE(problems.empty()) << all;
    std::remove(copy.c_str());
    const auto listing = fattools::mdir(image, v.offset);
    EXPECT_EQ(listing.status, 0) << listing.output;
}

struct Choice {
    const char *name;
    const char *kind;     // objectName of the kind's radio box
    const char *variant;  // of the boot variant, or nullptr
    int split;            // track bar value
    const char *password; // typed twice for a secure disk
};

// Presses Format, answers the settings dialog with the choice, and returns
// when the window has finished (the result message answered).
struct Observed {
    QStringList gaugeTexts; // the gauge's text at each change of its value
    int lastValue = -1;
    QString lastText;
    bool dialogSeen = false;
};

Observed formatThroughWindow(dialogs::Main &m, const Choice &c) {
    Observed run;
    QObject::connect(m.frm.progBar, &QProgressBar::valueChanged, &m.frm, [&](int) {
        QString t = m.frm.progBar->format();
        t.chop(QStringLiteral(" %p%").size());
        if (run.gaugeTexts.isEmpty() || run.gaugeTexts.back() != t) run.gaugeTexts << t;
    });
    dialogs::whenModal<TFormatSetFrm>([&](TFormatSetFrm *d) {
        run.dialogSeen = true;
        dialogs::click(d->findChild<QRadioButton *>(c.kind));
        if (c.variant) dialogs::click(d->findChild<QRadioButton *>(c.variant));
        if (c.password) {
            QTest::keyClicks(d->mePassword, c.password);
            QTest::keyClicks(d->meConfirm, c.password);
        }
        d->tbrPartSize->setValue(c.split);
        dialogs::click(d->btnOk);
    });
    QTest::mouseClick(m.frm.BtnFormat, Qt::LeftButton);
    fakes::waitFor([] { return false; }, 50);
    run.lastValue = m.frm.progBar->value();
    run.lastText = m.frm.progBar->text();
    return run;
}

} // namespace

TEST(FormatRun, EveryKindEndToEndThroughTheWindow) {
    const Choice choices[] = {
        {"normal, one area", "rbNormalDisk", nullptr, 100, nullptr},
        {"normal, two areas", "rbNormalDisk", nullptr, 40, nullptr},
        {"secure", "rbSecureDisk", nullptr, 60, "Tr0ub4dor"},
        {"HDD boot", "rbBootDisk", "rbHddBoot", 100, nullptr},
        {"ZIP boot", "rbBootDisk", "rbZipBootLit", 100, nullptr},
        {"ZIP boot, 63 sectors", "rbBootDisk", "rbZipBootBig", 100, nullptr},
    };
    for (const Choice &c : choices) {
        SCOPED_TRACE(c.name);
        dialogs::Disk disk(200000);
        {
            dialogs::Main m;
            m.frm.show();
            ASSERT_TRUE(m.startOnDisk());
            ASSERT_TRUE(m.frm.BtnFormat->isEnabled());
            const Observed run = formatThroughWindow(m, c);
            ASSERT_TRUE(run.dialogSeen);
            EXPECT_EQ(m.messages, QStringList{kFormatOk});
            EXPECT_TRUE(m.frm.FormatResult);
            EXPECT_EQ(run.gaugeTexts, kPhases);
            EXPECT_EQ(run.lastValue, 100);
            EXPECT_EQ(run.lastText, "Finish-- 100%");
            // The window closed itself and let go of the library.
            EXPECT_FALSE(m.frm.isVisible());
            EXPECT_EQ(m.frm.DiskControl, nullptr);
            // The password does not outlive the format.
            EXPECT_EQ(std::string(m.frm.Settings.password), "");
        }
        // The user replugs the disk, as the message asks.
        ASSERT_TRUE(flashemu::replug(disk.str()));
        const auto vs = volumes(disk);
        const bool second = c.split != 100;
        ASSERT_EQ(vs.size(), second ? 2u : 1u);
        for (const Volume &v : vs) checkVolume(disk, v);
        flashemu::DiskStatus st;
        ASSERT_TRUE(flashemu::getStatus(disk.str(), &st));
        EXPECT_TRUE(st.haveTable);
        EXPECT_FALSE(st.loggedIn);
        if (c.password) {
            // The password typed in the dialog opens the secure area, whose
            // volume then takes the first drive.
            {
                dialogs::Main m;
                ASSERT_TRUE(m.startOnDisk());
                EXPECT_FALSE(m.frm.DiskControl->VerifyPassword("tr0ub4dor", 0));
                ASSERT_TRUE(m.frm.DiskControl->VerifyPassword(c.password, 1));
            }
            const auto secure = volumes(disk);
            ASSERT_FALSE(secure.empty());
            EXPECT_NE(secure[0].offset, vs[0].offset);
            checkVolume(disk, secure[0]);
        }
    }
}

TEST(FormatRun, RefusedAfterTheDialog) {
    { // The disk goes away while the dialog is open: no table any more.
        dialogs::Disk disk(100000);
        dialogs::Main m;
        ASSERT_TRUE(m.startOnDisk());
        flashemu::setLogging(disk.str(), true);
        dialogs::whenModal<TFormatSetFrm>([&](TFormatSetFrm *d) {
            flashemu::Faults gone;
            gone.absent = true;
            flashemu::setFaults(disk.str(), gone);
            platform::DevBroadcastHeader volume{12, platform::kDevTypeVolume, 0};
            m.frm.WMDeviceChange(platform::kDeviceRemoveComplete, &volume);
            dialogs::click(d->btnOk);
        });
        m.frm.BtnFormatClick();
        EXPECT_EQ(m.messages, QStringList{"None Flash Disk detect."});
        EXPECT_FALSE(m.frm.Formatting);
        EXPECT_EQ(m.frm.lbMsg->text(), "");
        EXPECT_NE(m.frm.DiskControl, nullptr); // the program goes on
        // Nothing was written to the disk.
        for (const auto &e : flashemu::readLog(disk.str())) EXPECT_NE(e.op, "WriteDisk");
    }
    { // The secure area is open.
        dialogs::Disk disk(100000);
        {
            dialogs::Main m;
            ASSERT_TRUE(m.startOnDisk());
            formatThroughWindow(m, {"secure", "rbSecureDisk", nullptr, 100, "pw"});
            ASSERT_EQ(m.messages, QStringList{kFormatOk});
        }
        ASSERT_TRUE(flashemu::replug(disk.str()));
        dialogs::Main m;
        ASSERT_TRUE(m.startOnDisk());
        ASSERT_TRUE(m.frm.DiskControl->VerifyPassword("pw", 1));
        ASSERT_EQ(m.frm.DiskControl->LoginState(), 1);
        flashemu::setLogging(disk.str(), true);
        dialogs::whenModal<TFormatSetFrm>([](TFormatSetFrm *d) { dialogs::click(d->btnOk); });
        m.frm.BtnFormatClick();
        EXPECT_EQ(m.messages,
                  QStringList{"Your FlashDisk is in Login state!\nPlease replug your Flash Disk before use."});
        EXPECT_FALSE(m.frm.Formatting);
        for (const auto &e : flashemu::readLog(disk.str())) EXPECT_NE(e.op, "WriteDisk");
        // The choices stay in Settings for the next Start to overwrite.
        EXPECT_EQ(m.frm.Settings.mode, 0);
        EXPECT_EQ(m.frm.Settings.areaSize[0], 100000u);
    }
    { // Cancel: no check runs and nothing is shown.
        dialogs::Disk disk(100000);
        dialogs::Main m;
        ASSERT_TRUE(m.startOnDisk());
        flashemu::setLogging(disk.str(), true);
        dialogs::whenModal<TFormatSetFrm>([](TFormatSetFrm *d) { dialogs::click(d->btnCancel); });
        m.frm.BtnFormatClick();
        EXPECT_TRUE(m.messages.isEmpty());
        EXPECT_TRUE(m.frm.BtnFormat->isEnabled());
        EXPECT_TRUE(flashemu::readLog(disk.str()).empty());
    }
}

TEST(FormatRun, AFailedFormatIsReportedAndEndsTheProgram) {
    dialogs::Disk disk(100000);
    flashemu::Faults faults;
    faults.failKind = "data";
    faults.failNth = 3;
    ASSERT_TRUE(flashemu::setFaults(disk.str(), faults));
    dialogs::Main m;
    m.frm.show();
    ASSERT_TRUE(m.startOnDisk());
    const Observed run = formatThroughWindow(m, {"normal", "rbNormalDisk", nullptr, 100, nullptr});
    EXPECT_EQ(m.messages, QStringList{"Format Failed!\n Please replug your Flash Disk before use."});
    EXPECT_FALSE(m.frm.FormatResult);
    EXPECT_EQ(run.lastText, "Finish-- 100%"); // the library still closes the disk
    EXPECT_FALSE(m.frm.isVisible());
}
