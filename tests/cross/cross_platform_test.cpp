// One emulated flash disk used by the Linux and the Windows build in turn: a
// secure disk formatted by the Linux quendal is logged in by the Windows
// quendal.exe and by the Windows login program under Wine, and a disk the
// Windows quendal.exe formatted is checked with the Linux FAT tools and logged
// in by the Linux quendal and login program.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "Desktop.h"
#include "FatTools.h"
#include "FlashEmulator.h"
#include "LoginFrm.h"
#include "QtTestApp.h"
#include "StartParameter.h"
#include "XServer.h"
#include "platform/Drives.h"

namespace fs = std::filesystem;
using fattools::quote;
using fattools::RunResult;

namespace {

const std::string kPassword = "Cross-Over-7";
const std::string kNewPassword = "Second-Key-9";

fs::path scratch() {
    static fs::path root = [] {
        fs::path p = fs::temp_directory_path() / ("quendal-cross-" + std::to_string(getpid()));
        fs::create_directories(p);
        return p;
    }();
    return root;
}

std::string windowsBin() { return QUENDAL_WINDOWS_BIN; }

// The same path as a Windows program under Wine sees it.
std::string winPath(const fs::path &p) {
    std::string s = "Z:" + fs::absolute(p).string();
    for (char &c : s)
        if (c == '/') c = '\\';
    return s;
}

// Runs a command with the given lines on its standard input.
RunResult runWithInput(const std::string &command, const std::string &input) {
    const fs::path in = scratch() / "stdin.txt";
    std::ofstream(in) << input;
    return fattools::run(command + " < " + quote(in.string()));
}

std::string linuxQuendal(const fs::path &disk) { return quote(QUENDAL_TOOL) + " --disk " + quote(disk.string()); }

std::string windowsQuendal(const fs::path &disk) {
    return "wine " + quote(windowsBin() + "/quendal.exe") + " --disk " + quote(winPath(disk));
}

std::string withoutCarriageReturns(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

// What `quendal info` says, with the disk's folder written the same way.
std::string infoOf(const std::string &tool, const fs::path &disk, const std::string &folderAsShown) {
    RunResult r = fattools::run(tool + " info");
    EXPECT_EQ(r.status, 0) << r.output;
    std::string out = withoutCarriageReturns(r.output);
    for (size_t at; (at = out.find(folderAsShown)) != std::string::npos;)
        out.replace(at, folderAsShown.size(), "<disk>");
    (void)disk;
    return out;
}

// Every volume the disk shows now, checked by fsck.fat.
void expectSoundVolumes(const fs::path &disk) {
    setenv(flashemu::kDiskEnv, disk.c_str(), 1);
    const auto drives = platform::driveTable();
    unsetenv(flashemu::kDiskEnv);
    ASSERT_FALSE(drives.empty());
    for (const auto &d : drives) {
        const fs::path volume = scratch() / (std::string(1, d.letter) + ".img");
        ASSERT_TRUE(fattools::extractRange(d.source, d.offset, d.length, volume.string())) << d.source;
        EXPECT_EQ(fattools::fsckProblems(volume.string(), true), std::vector<std::string>{}) << d.letter << ":";
        fs::remove(volume);
    }
}

struct Display {
    xtest::XServer server; // the Windows login program's window needs one
};

// The Windows login program driven by sarvik_driver.exe with the passwords.
RunResult windowsLogin(const fs::path &disk, const std::vector<std::string> &passwords) {
    std::string cmd = "FLASHDISK_EMULATOR=" + quote(winPath(disk)) + " wine " +
                      quote(windowsBin() + "/sarvik_driver.exe") + " " + quote(winPath(windowsBin() + "/Sarvik.exe")) +
                      " 'E:\\'";
    for (const auto &p : passwords) cmd += " " + quote(p);
    return fattools::run(cmd);
}

TEST(CrossPlatform, ASecureDiskFormattedOnLinuxIsLoggedInOnWindows) {
    const fs::path disk = scratch() / "from-linux";
    ASSERT_EQ(fattools::run(quote(QUENDAL_TOOL) + " emulate " + quote(disk.string()) + " --sectors 300000").status, 0);
    RunResult f = runWithInput(linuxQuendal(disk) + " format --mode secure --first 40 --password-stdin --yes",
                               kPassword + "\n" + kPassword + "\n");
    ASSERT_EQ(f.status, 0) << f.output;

    // Both builds read the same table off the same disk.
    EXPECT_EQ(infoOf(windowsQuendal(disk), disk, winPath(disk)), infoOf(linuxQuendal(disk), disk, disk.string()));

    RunResult wrong = runWithInput(windowsQuendal(disk) + " login --password-stdin", "not-it\n");
    EXPECT_EQ(wrong.status, 5) << wrong.output;
    EXPECT_FALSE(flashemu::loggedIn(disk.string()));
    RunResult right = runWithInput(windowsQuendal(disk) + " login --password-stdin", kPassword + "\n");
    EXPECT_EQ(right.status, 0) << right.output;
    EXPECT_TRUE(flashemu::loggedIn(disk.string()));
    // The Linux side sees the secure area the Windows login opened.
    EXPECT_NE(infoOf(linuxQuendal(disk), disk, disk.string()).find("logged in"), std::string::npos);

    // The Windows login program: a wrong password is refused with the message,
    // the right one opens the secure area.
    ASSERT_TRUE(flashemu::replug(disk.string()));
    {
        Display display;
        RunResult s = windowsLogin(disk, {"wrong-one", kPassword});
        EXPECT_NE(s.output.find("window: Keyvane"), std::string::npos) << s.output;
        EXPECT_NE(s.output.find("message: Password Error."), std::string::npos) << s.output;
        EXPECT_NE(s.output.find("typed: password 2"), std::string::npos) << s.output;
        EXPECT_NE(s.output.find("exit: "), std::string::npos) << s.output;
    }
    EXPECT_TRUE(flashemu::loggedIn(disk.string()));

    // A password changed on Windows is the one Linux must give.
    ASSERT_TRUE(flashemu::replug(disk.string()));
    RunResult change = runWithInput(windowsQuendal(disk) + " passwd --password-stdin",
                                    kPassword + "\n" + kNewPassword + "\n" + kNewPassword + "\n");
    ASSERT_EQ(change.status, 0) << change.output;
    ASSERT_TRUE(flashemu::replug(disk.string()));
    EXPECT_EQ(runWithInput(linuxQuendal(disk) + " login --password-stdin", kPassword + "\n").status, 5);
    RunResult again = runWithInput(linuxQuendal(disk) + " login --password-stdin", kNewPassword + "\n");
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_TRUE(flashemu::loggedIn(disk.string()));
}

TEST(CrossPlatform, ASecureDiskFormattedOnWindowsIsLoggedInOnLinux) {
    const fs::path disk = scratch() / "from-windows";
    RunResult made = fattools::run("wine " + quote(windowsBin() + "/quendal.exe") + " emulate " + quote(winPath(disk)) +
                                   " --sectors 300000");
    ASSERT_EQ(made.status, 0) << made.output;
    RunResult f = runWithInput(windowsQuendal(disk) + " format --mode secure --first 40 --password-stdin --yes",
                               kPassword + "\n" + kPassword + "\n");
    ASSERT_EQ(f.status, 0) << f.output;

    EXPECT_EQ(infoOf(linuxQuendal(disk), disk, disk.string()), infoOf(windowsQuendal(disk), disk, winPath(disk)));
    // The volumes the Windows build wrote, as the Linux FAT tools see them.
    expectSoundVolumes(disk);

    EXPECT_EQ(runWithInput(linuxQuendal(disk) + " login --password-stdin", "not-it\n").status, 5);
    RunResult right = runWithInput(linuxQuendal(disk) + " login --password-stdin", kPassword + "\n");
    EXPECT_EQ(right.status, 0) << right.output;
    EXPECT_TRUE(flashemu::loggedIn(disk.string()));
    expectSoundVolumes(disk); // now with the secure area shown

    // The Linux login program, in process.
    ASSERT_TRUE(flashemu::replug(disk.string()));
    ASSERT_FALSE(flashemu::loggedIn(disk.string()));
    QStringList messages;
    sarvik::MessageResponder = [&](QMessageBox *b) {
        messages << b->text();
        b->accept();
    };
    sarvik::OpenFolder = [](const std::string &) { return true; };
    sarvik::StartParameter.clear();
    setenv(flashemu::kDiskEnv, disk.c_str(), 1);
    {
        TLoginFrm form;
        ASSERT_TRUE(form.mePassword->isEnabled());
        form.mePassword->setText(QString::fromStdString(kPassword));
        form.BtnLogin->click();
    }
    unsetenv(flashemu::kDiskEnv);
    sarvik::MessageResponder = nullptr;
    EXPECT_TRUE(flashemu::loggedIn(disk.string())) << messages.join("|").toStdString();
}

// The whole way a Windows user goes: the login volume of a disk formatted on
// Linux carries the Windows launcher, which unpacks the login program into the
// temporary folder and starts it; that program opens the secure area.
TEST(CrossPlatform, TheWindowsLauncherFromALinuxFormattedLoginVolumeLogsIn) {
    if (!fs::exists(fs::path(PWD_DIR) / "Latchkin.exe"))
        GTEST_SKIP() << "this build's PWD carries no Windows launcher (configure with QUENDAL_PEER_LAUNCHER)";
    const fs::path disk = scratch() / "launcher";
    ASSERT_EQ(fattools::run(quote(QUENDAL_TOOL) + " emulate " + quote(disk.string()) + " --sectors 300000").status, 0);
    RunResult f = runWithInput(linuxQuendal(disk) + " format --mode secure --first 40 --password-stdin --yes",
                               kPassword + "\n" + kPassword + "\n");
    ASSERT_EQ(f.status, 0) << f.output;
    ASSERT_TRUE(flashemu::replug(disk.string()));

    // Off the login volume, as Windows would show it on E:.
    setenv(flashemu::kDiskEnv, disk.c_str(), 1);
    const auto drives = platform::driveTable();
    unsetenv(flashemu::kDiskEnv);
    ASSERT_FALSE(drives.empty());
    std::string launcher, linuxLauncher;
    ASSERT_TRUE(fattools::mtype(drives.front().source, drives.front().offset, "LATCHKIN.EXE", &launcher));
    EXPECT_TRUE(fattools::mtype(drives.front().source, drives.front().offset, "LATCHKIN", &linuxLauncher))
        << "the login volume carries both launchers";
    std::string built;
    {
        std::ifstream in(fs::path(PWD_DIR) / "Latchkin.exe", std::ios::binary);
        built.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_EQ(launcher, built);
    const fs::path volume = scratch() / "volume", temp = scratch() / "temp";
    fs::create_directories(volume);
    fs::create_directories(temp);
    std::ofstream(volume / "LATCHKIN.EXE", std::ios::binary) << launcher;

    Display display;
    // The login program the launcher starts keeps the launcher's output open:
    // its output goes to a file, or reading it would wait for the login.
    const fs::path log = scratch() / "latchkin.log";
    // Wine takes TMP and TEMP from its registry, not from the Linux environment:
    // they are set inside, by its command interpreter.
    const std::string inside =
        "set TMP=" + winPath(temp) + "&& set TEMP=" + winPath(temp) + "&& start /wait LATCHKIN.EXE";
    RunResult started =
        fattools::run("cd " + quote(volume.string()) + " && FLASHDISK_EMULATOR=" + quote(winPath(disk)) +
                      " wine cmd /c " + quote(inside) + " </dev/null >" + quote(log.string()) + " 2>&1");
    EXPECT_EQ(started.status, 0) << fattools::run("cat " + quote(log.string())).output;
    for (const char *name : {"Sarvik.exe", "SCSI.dll", "Quendal.dll", "1033.ini", "FlashDisk.ini"})
        EXPECT_TRUE(fs::exists(temp / name)) << name;
    RunResult s = fattools::run("wine " + quote(windowsBin() + "/sarvik_driver.exe") + " - - " + quote(kPassword));
    EXPECT_NE(s.output.find("window: Keyvane"), std::string::npos) << s.output;
    EXPECT_NE(s.output.find("exit: "), std::string::npos) << s.output;
    EXPECT_TRUE(flashemu::loggedIn(disk.string()));
    // The program asked the shell to show the drive it was started from; that
    // window (and anything else of this prefix) goes with the display.
    fattools::run("wineserver -k");
}

struct Cleanup : ::testing::Environment {
    void SetUp() override {
        setenv("LC_ALL", "en_US.UTF-8", 1);
        // A prefix made before the first program runs says nothing into its output.
        fattools::run("wineboot -i >/dev/null 2>&1; wineserver -w");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(scratch(), ec);
    }
};
::testing::Environment *const cleanup = ::testing::AddGlobalTestEnvironment(new Cleanup);

} // namespace
