// The login program's two forms, in process, against emulated flash disks: a
// secure disk formatted with the command-line tool, a disk that refuses raw
// access, no disk at all. Other programs' windows are plain X11 windows on a
// private X server; the file manager is replaced by a recorder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ChangePwdFrm.h"
#include "DeviceParameters.h"
#include "Multlanguage.h"
#include "Desktop.h"
#include "FlashEmulator.h"
#include "LoginFrm.h"
#include "QtTestApp.h"
#include "StartParameter.h"
#include "XServer.h"
#include "platform/Drives.h"

namespace fs = std::filesystem;

namespace {

const char kPassword[] = "Open-Sesame";
const char kManualOpen[] = "Please open your FlashDisk from 'My Computer'.";

std::string quote(const std::string &s) { return "'" + s + "'"; }

fs::path scratch() {
    static fs::path root = [] {
        fs::path p = fs::absolute(fs::temp_directory_path() / ("sarvik-forms-" + std::to_string(getpid())));
        fs::create_directories(p);
        return p;
    }();
    return root;
}

// A secure disk formatted once by the command-line tool with kPassword; every
// test works on a copy of it, plugged in afresh (logged out).
fs::path secureTemplate() {
    static fs::path dir = [] {
        fs::path d = scratch() / "template";
        flashemu::DiskOptions o;
        o.sectors = 40000;
        std::string error;
        if (!flashemu::createDisk(d.string(), o, &error)) throw std::runtime_error(error);
        const std::string cmd = "printf '%s\\n%s\\n' " + quote(kPassword) + " " + quote(kPassword) + " | " +
                                quote(QUENDAL_TOOL) + " --disk " + quote(d.string()) +
                                " format --mode secure --first 50 --password-stdin --yes >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("formatting the secure disk failed");
        return d;
    }();
    return dir;
}

struct Disk {
    fs::path dir;
    // kind "secure": a copy of the formatted disk; "fresh": factory-fresh.
    explicit Disk(bool secure = true, const flashemu::Faults *faults = nullptr,
                  const flashemu::DiskOptions &options = {}) {
        dir = scratch() / ("disk-" + std::to_string(counter++));
        if (secure) {
            fs::copy(secureTemplate(), dir, fs::copy_options::recursive);
        } else {
            std::string error;
            if (!flashemu::createDisk(dir.string(), options, &error)) throw std::runtime_error(error);
        }
        if (faults) flashemu::setFaults(dir.string(), *faults);
        flashemu::replug(dir.string());
        setenv(flashemu::kDiskEnv, dir.c_str(), 1);
        unsetenv(flashemu::kDrivesEnv);
    }
    ~Disk() {
        unsetenv(flashemu::kDiskEnv);
        unsetenv(flashemu::kDrivesEnv);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    bool loggedIn() const { return flashemu::loggedIn(dir.string()); }
    // The first drive the disk shows (the login volume while logged out).
    platform::DriveEntry firstDrive() const {
        std::ifstream in(flashemu::drivesPath(dir.string()));
        std::stringstream s;
        s << in.rdbuf();
        auto drives = platform::parseDriveMap(s.str(), dir.string());
        if (drives.empty()) throw std::runtime_error("the disk shows no drive");
        return drives.front();
    }
    // A drive map of our own that mounts the first drive on folder.
    void mountFirstDriveOn(const fs::path &folder) {
        const platform::DriveEntry d = firstDrive();
        const fs::path map = dir / "mounted-drives";
        std::ofstream out(map);
        out << d.letter << ":\t" << d.source << '\t' << d.offset << '\t' << d.length << "\trw\t" << folder.string()
            << '\n';
        setenv(flashemu::kDrivesEnv, map.c_str(), 1);
    }
    static inline int counter = 0;
};

// Records what the program shows and where it opens the file manager.
struct Desk {
    QStringList messages;
    std::vector<std::string> opened;
    Desk() {
        sarvik::MessageResponder = [this](QMessageBox *b) {
            messages << b->text();
            b->accept();
        };
        sarvik::OpenFolder = [this](const std::string &d) {
            opened.push_back(d);
            return true;
        };
        sarvik::StartParameter.clear();
        TLoginFrm::FilesDirectory.clear();
    }
    ~Desk() {
        sarvik::MessageResponder = nullptr;
        sarvik::StartParameter.clear();
        TLoginFrm::FilesDirectory.clear();
    }
};

std::string enabled(const TLoginFrm &f) {
    return std::string(f.mePassword->isEnabled() ? "P" : "-") + (f.BtnLogin->isEnabled() ? "L" : "-") +
           (f.BtnChangePassword->isEnabled() ? "C" : "-");
}

void typeAndLogin(TLoginFrm &f, const QString &password) {
    f.mePassword->setText(password);
    f.BtnLogin->click();
}

struct English : ::testing::Environment {
    void SetUp() override { setenv("LC_ALL", "fr_FR.UTF-8", 1); } // no language file: the built-in texts
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(scratch(), ec);
    }
};
::testing::Environment *const english = ::testing::AddGlobalTestEnvironment(new English);

} // namespace

TEST(LoginFrm, DesignedFormBeforeAnyDevice) {
    Desk desk;
    flashemu::Faults absent;
    absent.absent = true;
    Disk disk(false, &absent);
    TLoginFrm f;
    // The language files reach the controls by these names.
    for (const char *name : {"Label1", "mePassword", "BtnLogin", "BtnChangePassword", "BtnCancel", "lbMessage"})
        EXPECT_NE(f.findChild<QWidget *>(name), nullptr) << name;
    EXPECT_EQ(f.mePassword->echoMode(), QLineEdit::Password);
    // The 21st character does not go in.
    f.mePassword->insert(QString(25, 'x'));
    EXPECT_EQ(f.mePassword->text().size(), 20);

    // No device: nothing is said and nothing can be typed or pressed but Cancel.
    EXPECT_TRUE(f.Usable);
    EXPECT_EQ(enabled(f), "---");
    EXPECT_TRUE(f.BtnCancel->isEnabled());
    EXPECT_TRUE(desk.messages.isEmpty());
    EXPECT_FALSE(f.FileLoginOnly);
    EXPECT_NE(f.GetOsVersion, nullptr);
}

TEST(LoginFrm, OpensOnlyADiskWithATableThatIsLoggedOut) {
    Desk desk;
    {
        Disk fresh(false); // a table, but no secure area to log in to
        TLoginFrm f;
        EXPECT_EQ(enabled(f), "---");
    }
    {
        flashemu::DiskOptions o;
        o.table = flashemu::TableKind::None;
        Disk unknown(false, nullptr, o);
        TLoginFrm f;
        EXPECT_EQ(enabled(f), "---");
    }
    {
        Disk secure;
        {
            TLoginFrm first;
            typeAndLogin(first, kPassword);
        }
        ASSERT_TRUE(secure.loggedIn());
        // Already open: the second start has nothing to log in.
        TLoginFrm again;
        EXPECT_EQ(enabled(again), "---");
    }
    EXPECT_TRUE(desk.messages.size() == 1 && desk.messages[0] == kManualOpen) << desk.messages.join('|').toStdString();
}

TEST(LoginFrm, RightPasswordClosesTheDrivesWindowsLogsInAndExploresTheDrive) {
    xtest::XServer x;
    if (!x.running()) GTEST_SKIP() << "no Xvfb to put other programs' windows on";
    xtest::Client other;
    ASSERT_TRUE(other.ok());
    Desk desk;
    Disk disk;
    const platform::DriveEntry drive = disk.firstDrive();
    const std::string letter(1, drive.letter);
    const fs::path mount = disk.dir / "mnt";
    fs::create_directories(mount);
    disk.mountFirstDriveOn(mount);

    const auto explorer = other.create("Files - " + letter + ":\\");
    const auto bracketed = other.create("FLASH DISK (" + letter + ":)");
    const auto unrelated = other.create("Editor - " + letter + ": notes"); // no backslash, no brackets
    const auto otherDrive = other.create("Z:\\ (Z:)");
    other.sync();

    sarvik::StartParameter = letter + ":\\";
    TLoginFrm f;
    f.show();
    ASSERT_EQ(enabled(f), "PLC");
    QElapsedTimer t;
    t.start();
    typeAndLogin(f, kPassword);
    const qint64 ms = t.elapsed();

    const auto closed = other.closeRequests();
    EXPECT_NE(std::find(closed.begin(), closed.end(), explorer), closed.end());
    EXPECT_NE(std::find(closed.begin(), closed.end(), bracketed), closed.end());
    EXPECT_EQ(std::find(closed.begin(), closed.end(), unrelated), closed.end());
    EXPECT_EQ(std::find(closed.begin(), closed.end(), otherDrive), closed.end());
    EXPECT_TRUE(disk.loggedIn());
    EXPECT_GE(ms, 1000); // the secure area gets its second before it is shown
    EXPECT_EQ(desk.opened, std::vector<std::string>{mount.string()});
    EXPECT_TRUE(desk.messages.isEmpty()) << desk.messages.join('|').toStdString();
    EXPECT_FALSE(f.isVisible());
}

TEST(LoginFrm, WithoutADriveTheUserIsToldToOpenTheDiskByHand) {
    Desk desk;
    // No parameter, a parameter that is no drive root, and a drive that no
    // folder of this system shows.
    for (const char *parameter : {"", "x", "E:", "1:\\"}) {
        Disk disk;
        sarvik::StartParameter = parameter;
        TLoginFrm f;
        typeAndLogin(f, kPassword);
        EXPECT_TRUE(disk.loggedIn()) << parameter;
        ASSERT_EQ(desk.messages.size(), 1) << parameter;
        EXPECT_EQ(desk.messages.takeFirst(), kManualOpen);
    }
    Disk disk;
    sarvik::StartParameter = std::string(1, disk.firstDrive().letter) + ":\\ trailing words";
    TLoginFrm f;
    typeAndLogin(f, kPassword);
    EXPECT_TRUE(disk.loggedIn());
    ASSERT_EQ(desk.messages.size(), 1);
    EXPECT_TRUE(desk.messages[0].contains("is not mounted")) << desk.messages[0].toStdString();
    EXPECT_TRUE(desk.messages[0].contains(kManualOpen));
    EXPECT_TRUE(desk.opened.empty());
}

TEST(LoginFrm, ThreeWrongPasswordsEndTheProgramWithoutLoggingIn) {
    Desk desk;
    {
        Disk disk;
        TLoginFrm f;
        f.show();
        typeAndLogin(f, "open-sesame"); // case counts
        EXPECT_EQ(f.mePassword->text(), "");
        EXPECT_EQ(enabled(f), "PLC");
        EXPECT_TRUE(f.BtnCancel->isEnabled());
        typeAndLogin(f, QString(kPassword) + " ");
        EXPECT_TRUE(f.isVisible());
        EXPECT_EQ((QStringList{"Password Error.", "Password Error."}), desk.messages);
        typeAndLogin(f, "");
        EXPECT_FALSE(f.isVisible());
        EXPECT_EQ(desk.messages.size(), 2); // the third one ends it without a word
        EXPECT_EQ(f.TriesLeft, 0);
        EXPECT_FALSE(disk.loggedIn());
    }

    // A wrong password and then the right one logs in.
    Disk second;
    desk.messages.clear();
    TLoginFrm g;
    typeAndLogin(g, "wrong");
    typeAndLogin(g, kPassword);
    EXPECT_TRUE(second.loggedIn());
    EXPECT_EQ((QStringList{"Password Error.", kManualOpen}), desk.messages);
}

TEST(LoginFrm, EnterInThePasswordEditPressesTheDefaultButton) {
    Desk desk;
    Disk disk;
    TLoginFrm f;
    f.show();
    ASSERT_TRUE(f.BtnLogin->isDefault());
    f.mePassword->setText(kPassword);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(f.mePassword, &enter);
    EXPECT_TRUE(disk.loggedIn());
    EXPECT_FALSE(f.isVisible());
}

TEST(LoginFrm, APasswordOutsideTheUsersCodePageIsRefusedWithoutCountingATry) {
    // "密碼" has no place in Windows-1252, the code page of this (English)
    // user: no program could have set it, and the library is not asked.
    Desk desk;
    Disk disk;
    TLoginFrm f;
    f.show();
    typeAndLogin(f, QString::fromUtf8("\xE5\xAF\x86\xE7\xA2\xBC"));
    EXPECT_EQ(desk.messages, QStringList{"The password contains a character that cannot be used."});
    EXPECT_EQ(f.TriesLeft, 3);
    EXPECT_EQ(f.mePassword->text(), "");
    EXPECT_EQ(enabled(f), "PLC");
    EXPECT_FALSE(disk.loggedIn());
    EXPECT_TRUE(f.isVisible());
}

TEST(LoginFrm, RefusedRawAccessLogsInByTheLoginFileAlone) {
    Desk desk;
    flashemu::Faults refuse;
    refuse.refuseRawAccess = true;
    Disk disk(true, &refuse);
    flashemu::setLogging(disk.dir.string(), true);
    sarvik::StartParameter = std::string(1, disk.firstDrive().letter) + ":\\";
    TLoginFrm f;
    EXPECT_TRUE(f.FileLoginOnly);
    EXPECT_EQ(enabled(f), "PL-");
    flashemu::clearLog(disk.dir.string());
    typeAndLogin(f, kPassword);
    // No check beforehand and no login record: the file on the login volume
    // is the whole login, and the drive text was never formed.
    for (const flashemu::LogEntry &e : flashemu::readLog(disk.dir.string())) EXPECT_NE(e.address, 0x60000000u) << e.op;
    EXPECT_TRUE(disk.loggedIn());
    EXPECT_EQ(QStringList{kManualOpen}, desk.messages);
    EXPECT_TRUE(desk.opened.empty());
}

TEST(LoginFrm, ParameterBlockComesFromTheSettingsFileWithTheProductCut) {
    Desk desk;
    const fs::path files = scratch() / "files";
    fs::create_directories(files);
    {
        std::ofstream ini(files / "FlashDisk.ini", std::ios::binary);
        ini << "[SETTING]\r\nVENDERSTRING=MORVAN\r\nPROCEDURESTR=FLASH DISK 2GB X-DRIVE EDITION\r\n"
               "VERSIONSTR=2.00";
    }
    TLoginFrm::FilesDirectory = QString::fromStdString(files.string());
    flashemu::DiskOptions o;
    o.product = "FLASH DISK 2GB X"; // exactly the first 16 characters
    Disk disk(false, nullptr, o);
    flashemu::setLogging(disk.dir.string(), true);
    {
        TLoginFrm f;
        InitDiskParams expected{};
        std::strcpy(expected.vendor, "MORVAN");
        std::strcpy(expected.product, "FLASH DISK 2GB X");
        std::strcpy(expected.version, "2.00");
        EXPECT_EQ(std::memcmp(&f.ParamBlock, &expected, sizeof expected), 0);
        bool seen = false;
        for (const flashemu::LogEntry &e : flashemu::readLog(disk.dir.string())) {
            if (e.op != "InitDisk" || e.data.size() != sizeof expected) continue;
            seen = true;
            EXPECT_EQ(std::memcmp(e.data.data(), &expected, sizeof expected), 0);
            EXPECT_EQ(e.result, 0); // the cut text names this device
        }
        EXPECT_TRUE(seen);
    }
    // Texts longer than their fields stay inside them, and a missing file
    // leaves the block empty.
    {
        std::ofstream ini(files / "FlashDisk.ini", std::ios::binary);
        ini << "[SETTING]\nVENDERSTRING=ABCDEFGHIJKLMNOP\nVERSIONSTR=1234567890\n";
    }
    InitDiskParams block;
    std::memset(&block, 0x55, sizeof block);
    sarvik::fillParameterBlock((files / "FlashDisk.ini").string(), &block);
    EXPECT_STREQ(block.vendor, "ABCDEFGHIJK");
    EXPECT_STREQ(block.product, "");
    EXPECT_STREQ(block.version, "1234567");
    sarvik::fillParameterBlock((files / "missing.ini").string(), &block);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&block), sizeof block), std::string(sizeof block, '\0'));
}

TEST(LoginFrm, LanguageFileGivesTheTexts) {
    Desk desk;
    const fs::path files = scratch() / "lang";
    fs::create_directories(files);
    {
        std::ofstream ini(files / "1033.ini", std::ios::binary);
        ini << "[LoginFrm]\r\nLoginFrm.caption=Sign in\r\nLoginFrm.BtnLogin.caption=Go\r\n"
               "[ChangePwdFrm]\r\nChangePwdFrm.btnOk.caption=Apply\r\n"
               "[MSGSTRING]\r\nPWDERR=Nope.\r\nOLDERR=Old nope.\r\n";
    }
    TLoginFrm::FilesDirectory = QString::fromStdString(files.string());
    setenv("LC_ALL", "en_US.UTF-8", 1);
    Disk disk;
    TLoginFrm f;
    setenv("LC_ALL", "fr_FR.UTF-8", 1);
    EXPECT_EQ(f.windowTitle(), "Sign in");
    EXPECT_EQ(f.BtnLogin->text(), "Go");
    EXPECT_EQ(f.BtnCancel->text(), "&Cancel");
    typeAndLogin(f, "wrong");
    TChangePwdFrm c(&f);
    EXPECT_EQ(c.btnOk->text(), "Apply");
    c.meOldPwd->setText("wrong");
    c.btnOk->click();
    EXPECT_EQ((QStringList{"Nope.", "Old nope."}), desk.messages);
}

TEST(ChangePwdFrm, WrongOldPasswordsAndMismatchesThenAChangeThatCounts) {
    Desk desk;
    Disk disk;
    TLoginFrm f;
    {
        TChangePwdFrm c(&f);
        for (QLineEdit *e : {c.meOldPwd, c.meNewPwd, c.meConfirmPwd}) {
            e->insert(QString(25, 'x'));
            EXPECT_EQ(e->text().size(), 20);
            EXPECT_EQ(e->echoMode(), QLineEdit::Password);
        }
        // Two wrong old passwords, then a mismatch: still open, one try left.
        for (int i = 0; i < 2; ++i) {
            c.meOldPwd->setText("bad");
            c.meNewPwd->setText("n");
            c.meConfirmPwd->setText("n");
            c.btnOk->click();
            EXPECT_EQ(c.meNewPwd->text(), "");
        }
        c.meOldPwd->setText(kPassword);
        c.meNewPwd->setText("Next");
        c.meConfirmPwd->setText("next");
        c.btnOk->click();
        EXPECT_EQ(c.meOldPwd->text(), "");
        EXPECT_EQ(c.TriesLeft, 1);
        EXPECT_EQ(c.result(), 0);
        c.meOldPwd->setText("bad");
        c.btnOk->click();
        EXPECT_EQ(c.result(), TChangePwdFrm::kResultCancel);
        EXPECT_EQ((QStringList{"Old Password Error.", "Old Password Error.",
                               "Confirm Password is not same as new password!", "Old Password Error."}),
                  desk.messages);
    }
    desk.messages.clear();

    // Through the login form's button, modally, as the user does it.
    QTimer::singleShot(0, [&] {
        auto *c = qobject_cast<TChangePwdFrm *>(QApplication::activeModalWidget());
        ASSERT_NE(c, nullptr);
        c->meOldPwd->setText(kPassword);
        c->meNewPwd->setText("Next-One");
        c->meConfirmPwd->setText("Next-One");
        c->btnOk->click();
    });
    f.BtnChangePassword->click();
    EXPECT_EQ(QStringList{"Change password success."}, desk.messages);
    EXPECT_EQ(enabled(f), "PLC"); // the login form keeps its state

    // The library reads the new table at once: the old password is refused
    // and the new one logs in.
    typeAndLogin(f, kPassword);
    EXPECT_FALSE(disk.loggedIn());
    typeAndLogin(f, "Next-One");
    EXPECT_TRUE(disk.loggedIn());
}

TEST(ChangePwdFrm, AChangeTheDeviceRefusesClosesTheFormAndKeepsTheOldPassword) {
    Desk desk;
    Disk disk;
    TLoginFrm f;
    flashemu::Faults fail;
    fail.failKind = "info-table"; // the new table cannot be stored
    fail.failNth = 1;
    flashemu::setFaults(disk.dir.string(), fail);
    TChangePwdFrm c(&f);
    c.meOldPwd->setText(kPassword);
    c.btnOk->click(); // new and confirmation both empty: an empty password is allowed
    EXPECT_EQ(c.result(), TChangePwdFrm::kResultCancel);
    EXPECT_EQ(QStringList{"Change Password failed! The old password still opens your Flash Disk."}, desk.messages);
    flashemu::setFaults(disk.dir.string(), flashemu::Faults{});
    desk.messages.clear();
    typeAndLogin(f, "");
    EXPECT_FALSE(disk.loggedIn());
    typeAndLogin(f, kPassword);
    EXPECT_TRUE(disk.loggedIn());
}

TEST(Screenshots, BothForms) {
    Desk desk;
    Disk disk;
    TLoginFrm f;
    TChangePwdFrm c(&f);
    f.mePassword->setText("secret");
    QDir().mkpath(ARTIFACT_DIR);
    const QImage login = f.grab().toImage();
    const QImage change = c.grab().toImage();
    EXPECT_EQ(login.size(), f.size());
    EXPECT_EQ(change.size(), c.size());
    EXPECT_TRUE(login.save(QStringLiteral(ARTIFACT_DIR "/sarvik-loginfrm.png")));
    EXPECT_TRUE(change.save(QStringLiteral(ARTIFACT_DIR "/sarvik-changepwdfrm.png")));
}
