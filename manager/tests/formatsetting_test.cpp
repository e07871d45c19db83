// The format settings dialog: its layout, the split of the disk as the labels
// show it and as Start formats it, every kind of disk and its click rules, the
// password check, the secure layout of a small disk, and Cancel.
#include <gtest/gtest.h>

#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

#include <cstring>

#include "DialogSupport.h"
#include "Formatsettingdlg.h"
#include "byteorder.h"

namespace {

::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new dialogs::QuietEnvironment);

std::atomic<int32_t> gDiskSize{1000000};
int32_t FakeDiskSize() { return gDiskSize; }

// A main window whose library reports a disk of the given size, and the
// dialog opened on it (shown, not modal, so the test drives it directly).
struct Fixture {
    dialogs::Main main;
    std::unique_ptr<TFormatSetFrm> dlg;
    explicit Fixture(uint32_t sectors) {
        gDiskSize = int32_t(sectors);
        TDiskControl *c = fakes::control();
        c->GetDiskSize = FakeDiskSize;
        main.frm.UseDiskControl(c);
        main.frm.LanguageFile = QStringLiteral("/nonexistent/1033.ini");
        dlg = std::make_unique<TFormatSetFrm>();
        dlg->show();
    }
    const uint8_t *settings() const { return reinterpret_cast<const uint8_t *>(&main.frm.Settings); }
    uint32_t area(int i) const { return bo::getLE32(settings() + 4 * i); }
    uint8_t mode() const { return settings()[0x0C]; }
    std::string password() const { return std::string(reinterpret_cast<const char *>(settings() + 0x0D)); }
    uint32_t count() const { return bo::getLE32(settings() + 0x4A); }
    void click(QAbstractButton *b) { dialogs::click(b); }
    // Start; true when the dialog closed with 1.
    bool start() {
        click(dlg->btnOk);
        return !dlg->isVisible() && dlg->result() == 1;
    }
};

void fillSettings(FormatSettings &s) {
    std::memset(&s, 0x77, sizeof s);
    std::strcpy(s.password, "before");
}

} // namespace

TEST(FormatSetFrm, LayoutAndStateAtCreation) {
    Fixture f(1000000);
    TFormatSetFrm &d = *f.dlg;
    EXPECT_EQ(d.objectName(), "FormatSetFrm");
    EXPECT_EQ(d.windowTitle(), "Format");
    EXPECT_EQ(d.size(), QSize(280, 376));
    EXPECT_EQ(d.minimumSize(), d.maximumSize());
    const struct {
        QWidget *w;
        const char *name;
        QRect geometry;
        QString text;
    } expected[] = {
        {d.gb1, "gb1", {-1, -2, 282, 248}, " FormatSetting"},
        {d.tbrPartSize, "tbrPartSize", {8, 46, 265, 20}, {}},
        {d.lbl5, "lbl5", {200, 70, 68, 18}, "0MByte"},
        {d.rbNormalDisk, "rbNormalDisk", {8, 90, 257, 23}, "Normal Disk"},
        {d.rbSecureDisk, "rbSecureDisk", {8, 112, 257, 23}, "Secure Disk"},
        {d.rbBootDisk, "rbBootDisk", {8, 134, 257, 23}, "Boot Disk"},
        {d.rbAutorun, "rbAutorun", {208, 21, 65, 25}, "Cdrom"},
        {d.bsSkinPanel1, "bsSkinPanel1", {27, 159, 241, 81}, {}},
        {d.rbHddBoot, "rbHddBoot", {16, 4, 209, 25}, "HDD Boot"},
        {d.rbZipBootLit, "rbZipBootLit", {16, 29, 209, 25}, "ZIP Boot"},
        {d.rbZipBootBig, "rbZipBootBig", {16, 54, 209, 25}, "ZIP Boot(63 Sector)"},
        {d.gbPasswordSetting, "gbPasswordSetting", {0, 245, 281, 89}, " Password Setting:"},
        {d.lbl1, "lbl1", {3, 26, 105, 21}, "Password:"},
        {d.lbl2, "lbl2", {3, 54, 103, 21}, "Confirm Password:"},
        {d.mePassword, "mePassword", {112, 28, 161, 21}, {}},
        {d.meConfirm, "meConfirm", {112, 56, 161, 21}, {}},
        {d.btnCancel, "btnCancel", {45, 346, 75, 25}, "&Cancel"},
        {d.btnOk, "btnOk", {173, 346, 75, 27}, "&Start"},
    };
    for (const auto &e : expected) {
        EXPECT_EQ(e.w->objectName(), e.name);
        EXPECT_EQ(e.w->geometry(), e.geometry) << e.name;
        QString text;
        if (auto *b = qobject_cast<QAbstractButton *>(e.w)) text = b->text();
        if (auto *g = qobject_cast<QGroupBox *>(e.w)) text = g->title();
        if (auto *l = qobject_cast<QLabel *>(e.w)) text = l->text();
        if (!e.text.isNull()) {
            EXPECT_EQ(text, e.text) << e.name;
        }
    }
    // The track bar starts at 100: the whole disk is the first area; the
    // label's own caption is replaced by the disk's size.
    EXPECT_EQ(d.DiskSize, 1000000u);
    EXPECT_EQ(d.tbrPartSize->value(), 100);
    EXPECT_EQ(d.tbrPartSize->maximum(), 100);
    EXPECT_EQ(d.lblDiskSize->text(), "488MByte");
    EXPECT_EQ(d.lbl4->text(), "488MByte");
    EXPECT_EQ(d.lbl5->text(), "0MByte");
    EXPECT_TRUE(d.rbNormalDisk->isChecked());
    EXPECT_TRUE(d.rbHddBoot->isChecked());
    EXPECT_FALSE(d.rbAutorun->isVisible());
    for (QWidget *w : std::initializer_list<QWidget *>{d.rbHddBoot, d.rbZipBootLit, d.rbZipBootBig, d.mePassword,
                                                       d.meConfirm, d.lbl1, d.lbl2})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(d.mePassword->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(dialogs::screenshot(&d, "formatsetfrm.png"));
}

TEST(FormatSetFrm, WorkedExamples) {
    const struct {
        bool secure;
        int v;
        uint32_t a0, a1, a2, areas;
        const char *lbl4, *lbl5;
    } rows[] = {
        {false, 100, 1000000, 0, 0, 1, "488MByte", "0MByte"},
        {false, 50, 500000, 0, 500000, 2, "244MByte", "244MByte"},
        {false, 0, 1000000, 0, 0, 1, "0MByte", "488MByte"},
        {true, 100, 2500, 997500, 0, 2, "488MByte", "0MByte"},
        {true, 30, 2500, 297500, 700000, 3, "146MByte", "341MByte"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.secure ? "secure " : "normal ") + std::to_string(r.v));
        Fixture f(1000000);
        f.click(r.secure ? f.dlg->rbSecureDisk : f.dlg->rbNormalDisk);
        if (r.secure) {
            QTest::keyClicks(f.dlg->mePassword, "Geheim 7");
            QTest::keyClicks(f.dlg->meConfirm, "Geheim 7");
        }
        f.dlg->tbrPartSize->setValue(r.v);
        EXPECT_EQ(f.dlg->lbl4->text(), r.lbl4);
        EXPECT_EQ(f.dlg->lbl5->text(), r.lbl5);
        ASSERT_TRUE(f.start());
        EXPECT_EQ(f.area(0), r.a0);
        EXPECT_EQ(f.area(1), r.a1);
        EXPECT_EQ(f.area(2), r.a2);
        EXPECT_EQ(f.count(), r.areas);
        EXPECT_EQ(f.mode(), r.secure ? 1 : 0);
        if (r.secure) {
            EXPECT_EQ(f.password(), "Geheim 7");
        }
        EXPECT_TRUE(f.main.messages.isEmpty());
    }
}

TEST(FormatSetFrm, SplitNearTheEndsOfTheTrackBar) {
    // 100,000 sectors: 1% is 1000 sectors, under a MByte. The labels give such
    // a first part to the second; Start makes one area of the whole disk.
    const struct {
        int v;
        const char *lbl4, *lbl5;
        uint32_t a0, a2, areas;
    } rows[] = {
        {1, "0MByte", "48MByte", 100000, 0, 1},
        {2, "0MByte", "48MByte", 100000, 0, 1}, // 2000 sectors: still under a MByte
        {3, "1MByte", "47MByte", 3000, 97000, 2},
        {97, "47MByte", "1MByte", 97000, 3000, 2},
        {98, "48MByte", "0MByte", 100000, 0, 1},
        {99, "48MByte", "0MByte", 100000, 0, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.v);
        Fixture f(100000);
        f.dlg->tbrPartSize->setValue(r.v);
        EXPECT_EQ(f.dlg->lbl4->text(), r.lbl4);
        EXPECT_EQ(f.dlg->lbl5->text(), r.lbl5);
        ASSERT_TRUE(f.start());
        EXPECT_EQ(f.area(0), r.a0);
        EXPECT_EQ(f.area(1), 0u);
        EXPECT_EQ(f.area(2), r.a2);
        EXPECT_EQ(f.count(), r.areas);
    }
    // Disks past 2^32 / 100 sectors: the product is formed in 64 bits.
    Fixture big(4000000000u);
    big.dlg->tbrPartSize->setValue(50);
    ASSERT_TRUE(big.start());
    EXPECT_EQ(big.area(0), 2000000000u);
    EXPECT_EQ(big.area(2), 2000000000u);
}

TEST(FormatSetFrm, AClickOnTheBarJumpsThere) {
    Fixture f(1000000);
    TTrackBar *bar = f.dlg->tbrPartSize;
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(6, bar->height() / 2));
    EXPECT_LE(bar->value(), 5);
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() / 2));
    EXPECT_NEAR(bar->value(), 50, 5);
    EXPECT_EQ(f.dlg->lbl4->text(), formatsplit::mbytes(formatsplit::forLabels(1000000, bar->value()).first));
}

TEST(FormatSetFrm, KindsModesAndClickRules) {
    Fixture f(1000000);
    TFormatSetFrm &d = *f.dlg;
    // "B" when the three boot variants are enabled, "P" when the password
    // edits and their labels are; "?" when a group is split.
    auto all = [](std::initializer_list<QWidget *> ws, char on) {
        int n = 0;
        for (QWidget *w : ws) n += w->isEnabled();
        return n == int(ws.size()) ? on : n == 0 ? '-' : '?';
    };
    auto state = [&] {
        return std::string{all({d.rbHddBoot, d.rbZipBootLit, d.rbZipBootBig}, 'B'),
                           all({d.mePassword, d.meConfirm, d.lbl1, d.lbl2}, 'P')};
    };
    f.click(d.rbSecureDisk);
    EXPECT_EQ(state(), "-P");
    f.click(d.rbBootDisk);
    EXPECT_EQ(state(), "B-");
    f.click(d.rbZipBootBig);
    EXPECT_TRUE(d.rbZipBootBig->isChecked());
    EXPECT_TRUE(d.rbBootDisk->isChecked()); // a variant does not change the kind
    f.click(d.rbNormalDisk);
    EXPECT_EQ(state(), "--");
    // Choosing Boot Disk again resets the variant to HDD Boot.
    f.click(d.rbBootDisk);
    EXPECT_TRUE(d.rbHddBoot->isChecked());
    EXPECT_FALSE(d.rbZipBootBig->isChecked());
    // The hidden CD-ROM choice, as code would click it.
    d.rbAutorun->click();
    EXPECT_EQ(state(), "--");
    EXPECT_FALSE(d.rbBootDisk->isChecked());

    const struct {
        QRadioButton *kind, *variant;
        uint8_t mode;
    } modes[] = {
        {d.rbNormalDisk, nullptr, 0},      {d.rbBootDisk, nullptr, 2}, {d.rbBootDisk, d.rbZipBootLit, 3},
        {d.rbBootDisk, d.rbZipBootBig, 4}, {d.rbAutorun, nullptr, 5},
    };
    for (const auto &m : modes) {
        Fixture g(1000000);
        auto pick = [&](QRadioButton *b) { return g.dlg->findChild<QRadioButton *>(b->objectName()); };
        if (m.kind == d.rbAutorun)
            pick(m.kind)->click();
        else
            g.click(pick(m.kind));
        if (m.variant) g.click(pick(m.variant));
        ASSERT_TRUE(g.start());
        EXPECT_EQ(g.mode(), m.mode);
        EXPECT_EQ(g.area(0), 1000000u);
        EXPECT_EQ(g.count(), 1u);
    }
}

TEST(FormatSetFrm, PasswordsOfASecureDisk) {
    { // A confirmation that differs only in letter case is refused.
        Fixture f(1000000);
        fillSettings(f.main.frm.Settings);
        const FormatSettings before = f.main.frm.Settings;
        f.click(f.dlg->rbSecureDisk);
        QTest::keyClicks(f.dlg->mePassword, "Secret");
        QTest::keyClicks(f.dlg->meConfirm, "secret");
        f.click(f.dlg->btnOk);
        EXPECT_TRUE(f.dlg->isVisible());
        EXPECT_EQ(f.main.messages, QStringList{"Confirm Password is not same as new password!"});
        EXPECT_EQ(f.dlg->focusWidget(), f.dlg->mePassword);
        EXPECT_EQ(std::memcmp(&before, &f.main.frm.Settings, sizeof before), 0);
        // Corrected, Start goes through.
        f.dlg->meConfirm->selectAll();
        QTest::keyClicks(f.dlg->meConfirm, "Secret");
        ASSERT_TRUE(f.start());
        EXPECT_EQ(f.password(), "Secret");
        EXPECT_EQ(f.mode(), 1);
    }
    { // Both empty: accepted, an empty password.
        Fixture f(1000000);
        fillSettings(f.main.frm.Settings);
        f.click(f.dlg->rbSecureDisk);
        ASSERT_TRUE(f.start());
        EXPECT_EQ(f.password(), "");
        EXPECT_EQ(f.mode(), 1);
    }
    { // Typed on a secure disk, then Normal: the password field stays as it was.
        Fixture f(1000000);
        fillSettings(f.main.frm.Settings);
        f.click(f.dlg->rbSecureDisk);
        QTest::keyClicks(f.dlg->mePassword, "abc");
        QTest::keyClicks(f.dlg->meConfirm, "xyz");
        f.click(f.dlg->rbNormalDisk);
        EXPECT_EQ(f.dlg->mePassword->text(), "abc"); // kept while disabled
        ASSERT_TRUE(f.start());
        EXPECT_EQ(f.password(), "before");
        EXPECT_EQ(f.mode(), 0);
        EXPECT_TRUE(f.main.messages.isEmpty());
    }
    { // At most 20 characters, and no more bytes than the record's field holds.
        Fixture f(1000000);
        f.click(f.dlg->rbSecureDisk);
        QTest::keyClicks(f.dlg->mePassword, "abcdefghijklmnopqrstuvwxyz");
        EXPECT_EQ(f.dlg->mePassword->text(), "abcdefghijklmnopqrst");
        const QString wide = QString::fromUtf8("\U0001F511").repeated(20); // 4 bytes each
        f.dlg->meConfirm->setFocus();
        dialogs::type(f.dlg->meConfirm, wide);
        EXPECT_LE(f.dlg->meConfirm->text().toUtf8().size(), 60);
        EXPECT_GT(f.dlg->meConfirm->text().size(), 0);
        // Twenty characters of a double-byte code page: 40 bytes, the text in
        // the code page of the user's language (Big5 for Traditional Chinese).
        const QString cjk = QString::fromUtf8("密").repeated(20);
        f.dlg->mePassword->setText(QString());
        f.dlg->meConfirm->setText(QString());
        dialogs::type(f.dlg->mePassword, cjk);
        dialogs::type(f.dlg->meConfirm, cjk);
        setenv("LC_ALL", "zh_TW.UTF-8", 1);
        const bool started = f.start();
        setenv("LC_ALL", "fr_FR.UTF-8", 1);
        ASSERT_TRUE(started);
        std::string big5;
        for (int i = 0; i < 20; ++i) big5 += "\xB1\x4B";
        EXPECT_EQ(f.password(), big5);
        EXPECT_EQ(f.main.frm.Settings.password[40], '\0');
    }
    { // A character the user's code page lacks: no program could take the
        // password, so Start is refused and Settings stay as they were.
        Fixture f(1000000);
        fillSettings(f.main.frm.Settings);
        f.click(f.dlg->rbSecureDisk);
        dialogs::type(f.dlg->mePassword, QString::fromUtf8("密碼"));
        dialogs::type(f.dlg->meConfirm, QString::fromUtf8("密碼"));
        EXPECT_FALSE(f.start());
        EXPECT_EQ(f.main.messages, QStringList{"The password contains a character that cannot be used."});
        EXPECT_EQ(f.password(), "before");
    }
}

TEST(FormatSetFrm, SecureLayoutOfASmallDiskIsRefused) {
    const struct {
        uint32_t sectors;
        int v;
        bool accepted;
        uint32_t a1, a2;
    } rows[] = {
        {7000, 100, true, 4500, 0},   // first past 4096: area 1 is first - 2500
        {7000, 50, true, 3500, 1000}, // area 2 = 3500 - 2500, the smallest area allowed
        {6900, 50, false, 0, 0},      // area 2 would be 950
        {6000, 50, false, 0, 0},      // 3000 / 3000: area 2 would be 500
        {4000, 100, false, 0, 0},     // one part of 4000: area 2 would be -2500
        {1500, 100, false, 0, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.sectors) + " at " + std::to_string(r.v));
        Fixture f(r.sectors);
        fillSettings(f.main.frm.Settings);
        const FormatSettings before = f.main.frm.Settings;
        f.click(f.dlg->rbSecureDisk);
        f.dlg->tbrPartSize->setValue(r.v);
        const bool started = f.start();
        EXPECT_EQ(started, r.accepted);
        if (r.accepted) {
            EXPECT_EQ(f.area(0), 2500u);
            EXPECT_EQ(f.area(1), r.a1);
            EXPECT_EQ(f.area(2), r.a2);
            EXPECT_EQ(f.area(0) + f.area(1) + f.area(2), r.sectors);
            EXPECT_TRUE(f.main.messages.isEmpty());
        } else {
            EXPECT_TRUE(f.dlg->isVisible());
            EXPECT_EQ(f.main.messages, QStringList{"The disk is too small for a Secure Disk with this size split."});
            EXPECT_EQ(std::memcmp(&before, &f.main.frm.Settings, sizeof before), 0);
        }
    }
    // The same small disk as a normal disk is not refused by the dialog.
    Fixture f(4000);
    ASSERT_TRUE(f.start());
    EXPECT_EQ(f.area(0), 4000u);
}

TEST(FormatSetFrm, CancelAndTheFrameCloseButtonLeaveSettings) {
    for (int how = 0; how < 3; ++how) {
        Fixture f(1000000);
        fillSettings(f.main.frm.Settings);
        const FormatSettings before = f.main.frm.Settings;
        f.click(f.dlg->rbSecureDisk);
        QTest::keyClicks(f.dlg->mePassword, "x");
        QTest::keyClicks(f.dlg->meConfirm, "x");
        if (how == 0)
            f.click(f.dlg->btnCancel);
        else if (how == 1)
            f.dlg->close();
        else
            QTest::keyClick(f.dlg.get(), Qt::Key_Escape);
        EXPECT_FALSE(f.dlg->isVisible()) << how;
        EXPECT_EQ(f.dlg->result(), 2) << how;
        EXPECT_EQ(std::memcmp(&before, &f.main.frm.Settings, sizeof before), 0) << how;
    }
}

TEST(FormatSetFrm, ShippedLanguageFilesCarryTheNewMessages) {
    const QString dir = QCoreApplication::applicationDirPath();
    for (const char *lang : {"1028", "1033", "1042", "2052"}) {
        const QString file = dir + "/" + lang + ".ini";
        ASSERT_TRUE(QFile::exists(file)) << lang;
        for (const char *key : {"SMALLSECURE", "NOTMOUNTED", "PWDCHAR", "LASTCOPY", "TABLECHANGED", "TABLENOTSAVED",
                                "CHANGEKOOLD", "CHANGEKONEW", "CHANGEKOUNKNOWN"}) {
            const QString text = TMultLanguage::LoadMsgStr(file, "MSGSTRING", key, "missing");
            EXPECT_NE(text, "missing") << lang << " " << key;
            EXPECT_FALSE(text.contains(QChar(0xFFFD))) << lang << " " << key;
        }
    }
}
