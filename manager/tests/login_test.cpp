// The login dialog on a secure emulated disk, opened from the main window:
// wrong and right passwords, three wrong ones, an empty password, a login the
// device refuses, the windows showing the drive asked to close (on a private
// X server), and the drive opened in the file manager.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>

#include "LoginSupport.h"
#include "Logindlg.h"
#include "PasswordEdit.h"
#include "XServer.h"

namespace {

::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new dialogs::QuietEnvironment);

const char *const kPwdErr = "Password Error.";
const char *const kNotMounted = "Your FlashDisk's drive is not mounted.\nPlease mount it to open it.";

// Presses Login in the main window and, in the dialog, types each password
// in turn and presses OK, as long as the dialog stays open. Returns the
// dialog's TriesLeft as it was last seen.
int loginThroughWindow(dialogs::Main &m, const std::vector<QString> &passwords, bool *dialogSeen = nullptr) {
    int triesLeft = -1;
    dialogs::whenModal<TLoginFrm>([&](TLoginFrm *d) {
        if (dialogSeen) *dialogSeen = true;
        EXPECT_EQ(d->focusWidget(), d->mePassword);
        for (const QString &p : passwords) {
            if (!d->isVisible()) break;
            QTest::keyClicks(d->mePassword, p);
            QTest::mouseClick(d->btnOk, Qt::LeftButton);
            triesLeft = d->TriesLeft;
            if (d->isVisible()) {
                // Emptied and ready for the next try.
                EXPECT_EQ(d->mePassword->text(), "");
                EXPECT_EQ(d->focusWidget(), d->mePassword);
            }
        }
        if (d->isVisible()) QTest::mouseClick(d->btnCancel, Qt::LeftButton);
    });
    QTest::mouseClick(m.frm.BtnLogin, Qt::LeftButton);
    return triesLeft;
}

} // namespace

TEST(LoginFrm, Layout) {
    dialogs::Main m;
    m.frm.LanguageFile = "/nonexistent/1033.ini";
    TLoginFrm d;
    EXPECT_EQ(d.objectName(), "LoginFrm");
    EXPECT_EQ(d.windowTitle(), "Login");
    EXPECT_EQ(d.size(), QSize(265, 164));
    EXPECT_EQ(d.minimumSize(), d.maximumSize());
    EXPECT_EQ(d.TriesLeft, 3);
    const struct {
        QWidget *w;
        const char *name;
        QRect geometry;
    } expected[] = {
        {d.Bevel1, "Bevel1", {8, 9, 249, 111}},        {d.ImageLogo, "ImageLogo", {16, 16, 233, 65}},
        {d.lbPassword, "lbPassword", {9, 89, 91, 18}}, {d.mePassword, "mePassword", {104, 88, 137, 21}},
        {d.btnOk, "btnOk", {160, 128, 75, 25}},        {d.btnCancel, "btnCancel", {32, 128, 75, 25}},
    };
    for (const auto &e : expected) {
        EXPECT_EQ(e.w->objectName(), e.name);
        EXPECT_EQ(e.w->geometry(), e.geometry) << e.name;
    }
    EXPECT_EQ(d.lbPassword->text(), "Password");
    EXPECT_EQ(d.btnOk->text(), "&OK");
    EXPECT_EQ(d.btnCancel->text(), "&Cancel");
    EXPECT_FALSE(d.ImageLogo->pixmap().isNull()); // the test runs in the output folder
    d.show();
    QTest::keyClicks(d.mePassword, "123456789012345678901234");
    EXPECT_EQ(d.mePassword->text(), "12345678901234567890");
    EXPECT_TRUE(dialogs::screenshot(&d, "loginfrm.png"));
    QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    EXPECT_EQ(d.result(), 2);
}

TEST(Login, WrongThenRightPassword) {
    dialogs::SecureDisk disk("right one");
    dialogs::Main m;
    m.frm.show();
    ASSERT_TRUE(m.startOnDisk());
    ASSERT_TRUE(m.frm.BtnLogin->isEnabled());
    bool seen = false;
    const int tries = loginThroughWindow(m, {"wrong", "right one"}, &seen);
    ASSERT_TRUE(seen);
    EXPECT_EQ(tries, 2);
    EXPECT_EQ(m.messages, (QStringList{kPwdErr, kNotMounted}));
    EXPECT_TRUE(disk.loggedIn());
    // Logged in: the manager ends.
    EXPECT_FALSE(m.frm.isVisible());
    EXPECT_EQ(m.frm.DiskControl, nullptr);
}

TEST(Login, ThreeWrongPasswordsCloseTheDialogOnly) {
    dialogs::SecureDisk disk("right one");
    dialogs::Main m;
    m.frm.show();
    ASSERT_TRUE(m.startOnDisk());
    const int tries = loginThroughWindow(m, {"a", "Right one", "right one ", "right one"});
    EXPECT_EQ(tries, 0);
    EXPECT_EQ(m.messages, (QStringList{kPwdErr, kPwdErr, kPwdErr}));
    EXPECT_FALSE(disk.loggedIn());
    EXPECT_TRUE(m.frm.isVisible());
    EXPECT_NE(m.frm.DiskControl, nullptr);
}

TEST(Login, EmptyPasswordIsAnEmptyText) {
    dialogs::SecureDisk disk("");
    dialogs::Main m;
    ASSERT_TRUE(m.startOnDisk());
    loginThroughWindow(m, {""});
    EXPECT_EQ(m.messages, QStringList{kNotMounted});
    EXPECT_TRUE(disk.loggedIn());
}

TEST(Login, RefusedByTheDevice) {
    dialogs::SecureDisk disk("pw");
    flashemu::Faults faults;
    faults.failKind = "login";
    faults.failNth = 1;
    ASSERT_TRUE(flashemu::setFaults(disk.str(), faults));
    dialogs::Main m;
    m.frm.show();
    ASSERT_TRUE(m.startOnDisk());
    loginThroughWindow(m, {"pw"});
    EXPECT_EQ(m.messages, QStringList{"Login failed."});
    EXPECT_FALSE(disk.loggedIn());
    EXPECT_TRUE(m.frm.isVisible());
}

TEST(Login, NoVolumeKnownAsksToOpenItByHand) {
    dialogs::SecureDisk disk("pw");
    // A drive map without the disk's volumes: the library finds no login volume.
    QTemporaryDir dir;
    const QString map = dir.filePath("drives");
    QFile(map).open(QIODevice::WriteOnly);
    setenv(flashemu::kDrivesEnv, map.toLocal8Bit().constData(), 1);
    dialogs::Main m;
    ASSERT_TRUE(m.startOnDisk());
    loginThroughWindow(m, {"pw"});
    unsetenv(flashemu::kDrivesEnv);
    EXPECT_EQ(m.messages, QStringList{"Please open you FlashDisk from 'My Computer'."});
    EXPECT_TRUE(disk.loggedIn());
}

TEST(Login, WindowsShowingTheDriveAreAskedToCloseFirst) {
    xtest::XServer server;
    ASSERT_TRUE(server.running()) << "Xvfb did not start";
    xtest::Client client;
    ASSERT_TRUE(client.ok());
    const auto explorer = client.create("SECURE (E:)");
    const auto inWord = client.create("NE:W notes");
    client.create("DATA (F:)");
    client.create("e: lower case");
    client.sync();

    dialogs::SecureDisk disk("pw");
    dialogs::Main m;
    ASSERT_TRUE(m.startOnDisk());
    char volume[10] = {};
    m.frm.DiskControl->GetSecureDiskVolume(volume);
    ASSERT_STREQ(volume, "E:");
    loginThroughWindow(m, {"pw"});
    EXPECT_TRUE(disk.loggedIn());
    auto closed = client.closeRequests();
    std::sort(closed.begin(), closed.end());
    std::vector<xcb_window_t> expected{explorer, inWord};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(closed, expected);
    EXPECT_GE(WindowTitleTable.count, 4);
}

TEST(CloseWindow, TableKeepsTheFirst256TitledWindows) {
    xtest::XServer server;
    ASSERT_TRUE(server.running()) << "Xvfb did not start";
    xtest::Client client;
    ASSERT_TRUE(client.ok());
    for (int i = 0; i < 300; ++i) client.create("window " + std::to_string(i) + (i == 299 ? " E:" : ""));
    const auto longTitle = client.create(std::string(300, 'x') + "E:"); // past the 255 bytes kept
    client.sync();
    CCloseWindow().CloseByTitle("E:");
    EXPECT_EQ(WindowTitleTable.count, 256);
    for (int i = 0; i < WindowTitleTable.count; ++i) EXPECT_LE(std::strlen(WindowTitleTable.entries[i].title), 255u);
    // Neither the 300th window nor the long title's cut-off drive is in reach.
    const auto closed = client.closeRequests();
    EXPECT_TRUE(std::find(closed.begin(), closed.end(), longTitle) == closed.end());
    EXPECT_LE(closed.size(), 1u);
    // Without a display nothing is found.
    unsetenv("DISPLAY");
    CCloseWindow().CloseByTitle("E:");
    EXPECT_EQ(WindowTitleTable.count, 0);
}

TEST(PasswordEdit, TypedTextIsOverwrittenWhereItLay) {
    QLineEdit *e = passwords::makeEdit(nullptr, "me", {0, 0, 100, 20});
    e->setEchoMode(QLineEdit::Normal); // so that undo would be offered
    QTest::keyClicks(e, "hunter2");
    const QString shared = e->text(); // shares the edit's buffer
    ASSERT_TRUE(e->isUndoAvailable());
    passwords::wipeEdit(e);
    EXPECT_EQ(e->text(), "");
    EXPECT_EQ(shared, QString(7, QChar(0)));
    EXPECT_FALSE(e->isUndoAvailable());
    delete e;
}

TEST(Explore, OpensTheMountDirectoryOfTheDrive) {
    QTemporaryDir dir;
    // A file manager that notes what it was asked to open.
    const QString bin = dir.filePath("bin");
    QDir().mkpath(bin);
    const QString note = dir.filePath("opened");
    {
        QFile script(bin + "/xdg-open");
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + note + "'\n").toLocal8Bit());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString mount = dir.filePath("media/SECURE");
    QDir().mkpath(mount);
    const QString map = dir.filePath("drives");
    {
        QFile f(map);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(("E:\t/dev/null\t0\t0\trw\t" + mount + "\nF:\t/dev/null\t0\t0\trw\n").toLocal8Bit());
    }
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (bin.toStdString() + ":" + oldPath).c_str(), 1);
    setenv(flashemu::kDrivesEnv, map.toLocal8Bit().constData(), 1);
    std::string where;
    EXPECT_TRUE(ExploreDrive("E:", &where));
    EXPECT_EQ(where, mount.toStdString());
    EXPECT_FALSE(ExploreDrive("F:")); // no mount: the caller says so
    EXPECT_FALSE(ExploreDrive("G:")); // no such drive
    EXPECT_FALSE(ExploreDrive(""));
    setenv("PATH", oldPath.c_str(), 1);
    unsetenv(flashemu::kDrivesEnv);
    // The opener runs detached: give it a moment.
    QFile opened(note);
    for (int i = 0; i < 200 && !opened.exists(); ++i) QThread::msleep(10);
    QThread::msleep(50);
    ASSERT_TRUE(opened.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromLocal8Bit(opened.readAll()), mount + "\n");
}
