// The change password dialog on a secure emulated disk, opened from the main
// window: a change followed by a login with the new password in a new process,
// a mismatch, wrong old passwords, an empty new password and a change the
// device refuses.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>

#include "Changepwddlg.h"
#include "LoginSupport.h"
#include "Logindlg.h"

namespace {

::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new dialogs::QuietEnvironment);

const char *const kOldErr = "Old Password Error.";
const char *const kConfirmErr = "Confirm Password is not same as new password!";

struct Attempt {
    QString oldPwd, newPwd, confirm;
};

// Presses Change Psw and makes each attempt while the dialog stays open;
// returns the dialog's result and its TriesLeft as last seen.
std::pair<int, int> changeThroughWindow(dialogs::Main &m, const std::vector<Attempt> &attempts) {
    int result = -1, tries = -1;
    dialogs::whenModal<TChangePwdFrm>([&](TChangePwdFrm *d) {
        for (const Attempt &a : attempts) {
            if (!d->isVisible()) break;
            QTest::keyClicks(d->meOldPwd, a.oldPwd);
            QTest::keyClicks(d->meNewPwd, a.newPwd);
            QTest::keyClicks(d->meConfirmPwd, a.confirm);
            QTest::mouseClick(d->btnOk, Qt::LeftButton);
            tries = d->TriesLeft;
            if (d->isVisible()) {
                // Every field emptied, the old password's focused.
                EXPECT_EQ(d->meOldPwd->text() + d->meNewPwd->text() + d->meConfirmPwd->text(), "");
                EXPECT_EQ(d->focusWidget(), d->meOldPwd);
            }
        }
        if (d->isVisible()) QTest::mouseClick(d->btnCancel, Qt::LeftButton);
        result = d->result();
    });
    QTest::mouseClick(m.frm.BtnChangePsw, Qt::LeftButton);
    return {result, tries};
}

bool verify(dialogs::Main &m, const char *password) { return m.frm.DiskControl->VerifyPassword(password, 0) != 0; }

} // namespace

TEST(ChangePwdFrm, Layout) {
    dialogs::Main m;
    m.frm.LanguageFile = "/nonexistent/1033.ini";
    TChangePwdFrm d;
    EXPECT_EQ(d.objectName(), "ChangePwdFrm");
    EXPECT_EQ(d.windowTitle(), "ChangePwdFrm");
    EXPECT_EQ(d.size(), QSize(264, 218));
    EXPECT_EQ(d.TriesLeft, 3);
    const struct {
        QWidget *w;
        const char *name;
        QRect geometry;
    } expected[] = {
        {d.Bevel1, "Bevel1", {8, 9, 249, 168}},         {d.ImageLogo, "ImageLogo", {16, 16, 233, 65}},
        {d.lbPassword, "lbPassword", {35, 89, 65, 13}}, {d.Label1, "Label1", {29, 116, 71, 13}},
        {d.Label2, "Label2", {16, 143, 84, 13}},        {d.meOldPwd, "meOldPwd", {104, 88, 137, 21}},
        {d.meNewPwd, "meNewPwd", {104, 115, 137, 21}},  {d.meConfirmPwd, "meConfirmPwd", {104, 142, 137, 21}},
        {d.btnOk, "btnOk", {152, 184, 75, 25}},         {d.btnCancel, "btnCancel", {32, 184, 75, 25}},
    };
    for (const auto &e : expected) {
        EXPECT_EQ(e.w->objectName(), e.name);
        EXPECT_EQ(e.w->geometry(), e.geometry) << e.name;
    }
    EXPECT_EQ(d.lbPassword->text(), "Old Password");
    EXPECT_EQ(d.Label1->text(), "New Password");
    EXPECT_EQ(d.Label2->text(), "Confirm Password");
    d.show();
    // Tab order: the three edits, then OK and Cancel.
    QStringList chain;
    QWidget *w = d.meOldPwd;
    for (int i = 0; i < 5; ++i, w = w->nextInFocusChain()) chain << w->objectName();
    EXPECT_EQ(chain, (QStringList{"meOldPwd", "meNewPwd", "meConfirmPwd", "btnOk", "btnCancel"}));
    for (QLineEdit *e : {d.meOldPwd, d.meNewPwd, d.meConfirmPwd}) {
        QTest::keyClicks(e, "abcdefghijklmnopqrstuvw");
        EXPECT_EQ(e->text().size(), 20);
        EXPECT_EQ(e->echoMode(), QLineEdit::Password);
    }
    EXPECT_TRUE(dialogs::screenshot(&d, "changepwdfrm.png"));
}

TEST(ChangePassword, ThenLoginWithTheNewOneInANewProcess) {
    dialogs::SecureDisk disk("old secret");
    {
        dialogs::Main m;
        m.frm.show();
        ASSERT_TRUE(m.startOnDisk());
        const auto [result, tries] = changeThroughWindow(m, {{"old secret", "New Secret 2", "New Secret 2"}});
        EXPECT_EQ(result, 1);
        EXPECT_EQ(tries, 3);
        EXPECT_EQ(m.messages, QStringList{"Change Password Complete!"});
        // The main window stays as it was; the library's re-read table knows the new password.
        EXPECT_TRUE(m.frm.isVisible());
        EXPECT_TRUE(verify(m, "New Secret 2"));
        EXPECT_FALSE(verify(m, "old secret"));
    }
    ASSERT_TRUE(flashemu::replug(disk.str()));
    QProcess child;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("DIALOGS_CHILD_OLD", "old secret");
    e.insert("DIALOGS_CHILD_NEW", "New Secret 2");
    child.setProcessEnvironment(e);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=ChildProcess.LogsInWithTheNewPassword"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("[       OK ] ChildProcess.LogsInWithTheNewPassword")) << out.toStdString();
    EXPECT_TRUE(disk.loggedIn());
}

// Run by the test above in a process of its own.
TEST(ChildProcess, LogsInWithTheNewPassword) {
    const char *oldPwd = std::getenv("DIALOGS_CHILD_OLD");
    const char *newPwd = std::getenv("DIALOGS_CHILD_NEW");
    if (!oldPwd || !newPwd) GTEST_SKIP() << "run by ChangePassword.ThenLoginWithTheNewOneInANewProcess";
    dialogs::Main m;
    ASSERT_TRUE(m.startOnDisk());
    dialogs::whenModal<TLoginFrm>([&](TLoginFrm *d) {
        for (const char *p : {oldPwd, newPwd}) {
            QTest::keyClicks(d->mePassword, p);
            QTest::mouseClick(d->btnOk, Qt::LeftButton);
        }
    });
    QTest::mouseClick(m.frm.BtnLogin, Qt::LeftButton);
    ASSERT_EQ(m.messages.size(), 2);
    EXPECT_EQ(m.messages[0], "Password Error.");
    EXPECT_TRUE(flashemu::loggedIn(std::getenv(flashemu::kDiskEnv)));
}

TEST(ChangePassword, MismatchAndWrongOldPasswords) {
    dialogs::SecureDisk disk("pw");
    { // A confirmation differing in one letter's case; the tries are not counted.
        dialogs::Main m;
        ASSERT_TRUE(m.startOnDisk());
        const auto [result, tries] =
            changeThroughWindow(m, {{"pw", "abc", "abC"}, {"pw", "x", "y"}, {"pw", "x", "y"}, {"pw", "x", "y"}});
        EXPECT_EQ(result, 2); // cancelled at the end
        EXPECT_EQ(tries, 3);
        EXPECT_EQ(m.messages, (QStringList{kConfirmErr, kConfirmErr, kConfirmErr, kConfirmErr}));
        EXPECT_TRUE(verify(m, "pw"));
    }
    { // Two wrong old passwords, then a mismatch: still open with one try left.
        dialogs::Main m;
        ASSERT_TRUE(m.startOnDisk());
        const auto [result, tries] = changeThroughWindow(m, {{"a", "n", "n"}, {"b", "n", "n"}, {"pw", "n", "m"}});
        EXPECT_EQ(tries, 1);
        EXPECT_EQ(m.messages, (QStringList{kOldErr, kOldErr, kConfirmErr}));
        EXPECT_EQ(result, 2);
    }
    { // Three wrong old passwords close the dialog.
        dialogs::Main m;
        m.frm.show();
        ASSERT_TRUE(m.startOnDisk());
        const auto [result, tries] =
            changeThroughWindow(m, {{"a", "n", "n"}, {"PW", "n", "n"}, {"pw ", "n", "n"}, {"pw", "n", "n"}});
        EXPECT_EQ(tries, 0);
        EXPECT_EQ(result, 2);
        EXPECT_EQ(m.messages, (QStringList{kOldErr, kOldErr, kOldErr}));
        EXPECT_TRUE(verify(m, "pw"));
        EXPECT_TRUE(m.frm.isVisible());
    }
}

TEST(ChangePassword, EmptyNewPasswordAndARefusal) {
    dialogs::SecureDisk disk("pw");
    {
        dialogs::Main m;
        ASSERT_TRUE(m.startOnDisk());
        const auto [result, tries] = changeThroughWindow(m, {{"pw", "", ""}});
        EXPECT_EQ(result, 1);
        EXPECT_EQ(m.messages, QStringList{"Change Password Complete!"});
        EXPECT_TRUE(verify(m, ""));
    }
    // The device fails the first write of the change.
    flashemu::Faults faults;
    faults.failKind = "any";
    faults.failNth = 1;
    ASSERT_TRUE(flashemu::setFaults(disk.str(), faults));
    dialogs::Main m;
    m.frm.show();
    ASSERT_TRUE(m.startOnDisk());
    const auto [result, tries] = changeThroughWindow(m, {{"", "new", "new"}});
    EXPECT_EQ(result, 2);
    // Said as the disk, read again, holds it: the failed erase changed nothing.
    EXPECT_EQ(m.messages, QStringList{"Change Password failed! The old password still opens your Flash Disk."});
    EXPECT_TRUE(m.frm.isVisible()); // the main window does not react
}

// One copy of the table left (the backup's table sector erased behind the
// manager's back) and no saved table on this computer that says where the
// other lived: the change is refused before anything is written.
TEST(ChangePassword, RefusedWhenTheLastCopyCannotBeGuarded) {
    dialogs::SecureDisk disk("pw");
    std::array<uint8_t, 512> erased;
    erased.fill(0xFF);
    ASSERT_TRUE(flashemu::writeInfoSector(disk.str(), 40, 0, erased.data()));
    const std::filesystem::path home = disk.dir.string() + "-home";
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    {
        dialogs::Main m;
        ASSERT_TRUE(m.startOnDisk());
        const auto [result, tries] = changeThroughWindow(m, {{"pw", "new", "new"}});
        EXPECT_EQ(result, 2);
        EXPECT_EQ(m.messages, QStringList{"Only one copy of your FlashDisk's table is left and where the other was "
                                          "is unknown. Nothing was changed. See recovery.md."});
        EXPECT_TRUE(verify(m, "pw"));
    }
    unsetenv("XDG_DATA_HOME");
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
}
