// quendal run as a user runs it: a process of its own on a fresh emulated disk
// in a temporary folder, its exit code and its output looked at.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "EmulatorBackend.h"
#include "FatTools.h"
#include "FlashEmulator.h"
#include "Md5.h"
#include "TestProcess.h"
#include "file_io.h"
#include "platform/Drives.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int code = -1;
    std::string out; // standard output and standard error as written
};

// quendal as built, beside this test program and the libraries.
fs::path quendalProgram() {
    return fs::path(testsupport::programDirectory()) / (std::string("quendal") + testsupport::kExeSuffix);
}

struct Sandbox {
    testsupport::ScratchDir scratch{"quendal-cli"};
    fs::path root = scratch.path();
    std::string disk() const { return (root / "disk").string(); }
    // Set for every program run from here on (the user's locale, say).
    std::vector<std::pair<std::string, std::string>> env;

    // Runs a quendal program with args in the sandbox folder; `input` is its
    // standard input. FLASHDISK_EMULATOR is set to `emulator` (unset when empty).
    Result run(const std::vector<std::string> &args, const std::string &input = "", const std::string &emulator = "",
               const fs::path &program = quendalProgram()) const {
        testsupport::ProcessOptions o;
        o.input = input;
        o.workingDirectory = root.string();
        o.unsetEnv = {"FLASHDISK_DRIVES", "QUENDAL_SCSI_LOG"};
        o.env = env;
        if (emulator.empty())
            o.unsetEnv.push_back("FLASHDISK_EMULATOR");
        else
            o.env.emplace_back("FLASHDISK_EMULATOR", emulator);
#ifdef _WIN32
        testsupport::ProcessResult p = testsupport::runProcess(program.string(), args, o);
#else
        // In a session of its own the child has no controlling terminal, so a
        // password prompt cannot wait for the developer's.
        std::vector<std::string> withSession = {"--wait", program.string()};
        withSession.insert(withSession.end(), args.begin(), args.end());
        testsupport::ProcessResult p = testsupport::runProcess("setsid", withSession, o);
#endif
        Result r;
        r.code = p.started && !p.crashed && !p.timedOut ? p.exitCode : -1;
        r.out = p.output;
        if (!p.started || p.crashed || p.timedOut)
            r.out += p.crashed ? "\n(crashed)" : p.timedOut ? "\n(timed out)" : "\n(not started)";
        return r;
    }
    // Runs against the sandbox's emulated disk.
    Result q(const std::vector<std::string> &args, const std::string &input = "") const {
        return run(args, input, disk());
    }
    void emulate(const std::vector<std::string> &extra = {"--sectors", "200000"}) const {
        std::vector<std::string> args = {"emulate", disk()};
        args.insert(args.end(), extra.begin(), extra.end());
        Result r = run(args);
        ASSERT_EQ(r.code, 0) << r.out;
    }
};

#ifndef _WIN32
// Runs quendal on a terminal of its own, answering each prompt that appears
// with the next of `answers`. Gives everything the terminal showed.
Result runOnTerminal(const std::vector<std::string> &args, const std::string &disk, std::vector<std::string> answers) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        setenv("FLASHDISK_EMULATOR", disk.c_str(), 1);
        std::vector<char *> argv;
        std::string prog = quendalProgram().string();
        argv.push_back(prog.data());
        std::vector<std::string> copy = args;
        for (auto &a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    Result r;
    size_t seen = 0;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) break;
        char buf[512];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        r.out.append(buf, size_t(n));
        // Answer a prompt once it has appeared.
        size_t prompt = std::min(r.out.find("Password: ", seen), r.out.find("to format it: ", seen));
        if (prompt != std::string::npos && !answers.empty()) {
            seen = prompt + 1;
            std::string line = answers.front() + "\n";
            answers.erase(answers.begin());
            if (write(master, line.data(), line.size()) < 0) break;
        }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}
#endif

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

#define EXPECT_RUN(result, exitCode)                                                                                   \
    do {                                                                                                               \
        const Result &r_ = (result);                                                                                   \
        EXPECT_EQ(r_.code, exitCode) << "output:\n" << r_.out;                                                         \
    } while (0)

// Exit codes as documented.
constexpr int kOk = 0, kDeviceFailure = 1, kUsage = 2, kNoDisk = 3, kUnknownDisk = 4, kWrongPassword = 5,
              kNotInstalled = 6, kWrongState = 7;

} // namespace

TEST(Help, EveryCommandIsDocumented) {
    Sandbox s;
    Result r = s.run({"--help"});
    EXPECT_RUN(r, kOk);
    for (const char *c :
         {"emulate", "info", "format", "login", "passwd", "table", "--password-stdin", "Exit codes", "--disk"})
        EXPECT_TRUE(has(r.out, c)) << c;
    for (const char *c : {"emulate", "info", "format", "login", "passwd", "table"}) {
        Result h = s.run({c, "--help"});
        EXPECT_RUN(h, kOk);
        EXPECT_TRUE(has(h.out, std::string("Usage: quendal ") + c)) << h.out;
    }
    Result v = s.run({"--version"});
    EXPECT_RUN(v, kOk);
    EXPECT_TRUE(has(v.out, "quendal ")) << v.out;
}

TEST(Usage, BadCommandLinesAreRefusedWithOneLine) {
    Sandbox s;
    s.emulate();
    struct Case {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {{}, "Usage"},
        {{"frobnicate"}, "Unknown command"},
        {{"--bogus", "info"}, "Unknown option"},
        {{"info", "--bogus"}, "Unknown option"},
        {{"info", "extra"}, "Unexpected argument"},
        {{"format", "--mode", "floppy"}, "Unknown mode"},
        {{"format", "--mode"}, "needs a value"},
        {{"format", "--first", "101"}, "0 to 100"},
        {{"format", "--first", "-5"}, "0 to 100"},
        {{"format", "--first", "half"}, "0 to 100"},
        {{"login", "--password", "secret"}, "Unknown option"},
        {{"--disk"}, "needs a folder"},
        {{"--device", "/dev/sg9", "info"}, "--device names a real disk and --disk an emulated one"},
    };
    for (const Case &c : cases) {
        Result r = s.q(c.args);
        std::string joined;
        for (auto &a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        EXPECT_RUN(r, kUsage);
        EXPECT_TRUE(has(r.out, c.says)) << r.out;
    }
}

TEST(Emulate, CreatesADiskAndRefusesToOverwriteIt) {
    Sandbox s;
    Result r = s.run({"emulate", s.disk(), "--sectors", "300000", "--label", "MINE"});
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(has(r.out, "300000 sectors (146MByte)")) << r.out;
    Result again = s.run({"emulate", s.disk(), "--sectors", "300000"});
    EXPECT_RUN(again, kUsage);
    EXPECT_TRUE(has(again.out, "--force")) << again.out;
    EXPECT_RUN(s.run({"emulate", s.disk(), "--sectors", "400000", "--force"}), kOk);
    Result info = s.q({"info"});
    EXPECT_RUN(info, kOk);
    EXPECT_TRUE(has(info.out, "400000 sectors")) << info.out;
}

TEST(Emulate, BadOptionsAreUsageErrors) {
    Sandbox s;
    for (std::vector<std::string> extra : {std::vector<std::string>{"--sectors", "0"},
                                           {"--sectors", "many"},
                                           {"--table", "floppy"},
                                           {"--fail", "data"},
                                           {"--fail", "bogus:1"},
                                           {"--fail", "data:0"},
                                           {"--fail-read", "login:1"},
                                           {"--info-sectors", "9"},
                                           {"--label", "MUCH TOO LONG"},
                                           {"--page-sectors", "0"}}) {
        std::vector<std::string> args = {"emulate", s.disk()};
        args.insert(args.end(), extra.begin(), extra.end());
        SCOPED_TRACE(extra[0] + " " + extra[1]);
        EXPECT_RUN(s.run(args), kUsage);
    }
    EXPECT_RUN(s.run({"emulate"}), kUsage);
    EXPECT_FALSE(fs::exists(s.disk()));
}

TEST(Info, ShowsAFreshDisk) {
    Sandbox s;
    s.emulate({"--sectors", "2097152"});
    Result r = s.q({"info"});
    EXPECT_RUN(r, kOk);
    for (const char *part : {"2097152 sectors (1024MByte)", "version table 2.00", "area 0", "Write protect:   off",
                             "Password:        none"})
        EXPECT_TRUE(has(r.out, part)) << part << "\n" << r.out;
    Result d = s.run({"--disk", s.disk(), "info"});
    EXPECT_RUN(d, kOk);
    EXPECT_EQ(d.out, r.out);
}

TEST(Info, DeviceStatesGiveTheirExitCodes) {
    {
        Sandbox s;
        s.emulate({"--sectors", "200000", "--absent"});
        Result r = s.q({"info"});
        EXPECT_RUN(r, kNoDisk);
        EXPECT_TRUE(has(r.out, "No Flash Disk")) << r.out;
    }
    {
        Sandbox s;
        s.emulate({"--sectors", "200000", "--refuse-raw"});
        Result r = s.q({"info"});
        EXPECT_RUN(r, kNoDisk);
        EXPECT_TRUE(has(r.out, "raw access")) << r.out;
    }
    {
        Sandbox s; // a folder without a disk
        fs::create_directories(s.disk());
        EXPECT_RUN(s.q({"info"}), kNoDisk);
        // No emulator named: the pass-through finds no such disk on this machine.
        Result r = s.run({"info"});
        EXPECT_RUN(r, kNoDisk);
        EXPECT_TRUE(has(r.out, "No Flash Disk")) << r.out;
        EXPECT_FALSE(has(r.out, "SCSI.dll:")) << r.out;
        // --verbose reaches the transport, which logs its search.
        Result v = s.run({"--verbose", "info"});
        EXPECT_RUN(v, kNoDisk);
        EXPECT_TRUE(has(v.out, "SCSI.dll:")) << v.out;
    }
    {
        Sandbox s;
        s.emulate({"--sectors", "200000", "--table", "none"});
        Result r = s.q({"info"});
        EXPECT_RUN(r, kUnknownDisk);
        EXPECT_TRUE(has(r.out, "no configuration table")) << r.out;
        EXPECT_RUN(s.q({"format", "--yes"}), kUnknownDisk);
    }
    {
        Sandbox s;
        s.emulate({"--sectors", "200000", "--table", "maker"});
        Result r = s.q({"info"});
        EXPECT_RUN(r, kOk);
        EXPECT_TRUE(has(r.out, "maker table")) << r.out;
        Result f = s.q({"format", "--yes"});
        EXPECT_RUN(f, kWrongState);
        EXPECT_TRUE(has(f.out, "maker table")) << f.out;
        EXPECT_RUN(s.q({"passwd", "--password-stdin"}, "a\nb\nb\n"), kWrongState);
    }
    {
        Sandbox s;
        s.emulate({"--sectors", "200000", "--write-protected"});
        Result r = s.q({"info"});
        EXPECT_RUN(r, kOk);
        EXPECT_TRUE(has(r.out, "Write protect:   on")) << r.out;
    }
}

TEST(Format, NormalDiskInTwoAreasWithProgress) {
    Sandbox s;
    s.emulate();
    Result r = s.q({"format", "--yes", "--mode", "normal", "--first", "50"});
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(has(r.out, "Preparing--")) << r.out;
    EXPECT_TRUE(has(r.out, "100% Finish--")) << r.out;
    EXPECT_TRUE(has(r.out, "Format Complete!")) << r.out;
    Result info = s.q({"info"});
    EXPECT_RUN(info, kOk);
    EXPECT_TRUE(has(info.out, "two public areas")) << info.out;
    EXPECT_TRUE(has(info.out, "100000")) << info.out;
    EXPECT_TRUE(has(info.out, "E:")) << info.out;
}

// The volumes the host sees of the emulated disk, from its drive map, each
// checked by fsck.fat (on Windows by the independent FAT reader). Gives the
// letters and volume lengths in sectors.
std::vector<std::pair<char, uint64_t>> checkVolumes(const Sandbox &s) {
    std::ifstream in(flashemu::drivesPath(s.disk()), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string image = flashemu::dataImagePath(s.disk());
    std::vector<std::pair<char, uint64_t>> seen;
    for (const platform::DriveEntry &d : platform::parseDriveMap(text.str())) {
        SCOPED_TRACE(std::string(1, d.letter) + ":");
        std::string boot;
        const std::string volume = (s.root / (std::string(1, d.letter) + ".img")).string();
        EXPECT_TRUE(fattools::extractRange(image, d.offset, d.length, volume));
        std::ifstream v(volume, std::ios::binary);
        char sector[512] = {};
        v.read(sector, sizeof sector);
        // Template A's byte after the drive number sets the dirty bit on purpose.
        const bool fat32 = std::string(sector + 0x52, 5) == "FAT32";
        const bool dirtyNote = !fat32 && uint8_t(sector[0x25]) == 0x01;
        std::string report;
        auto problems = fattools::fsckProblems(volume, dirtyNote, nullptr, &report);
        EXPECT_TRUE(problems.empty()) << report;
        EXPECT_EQ(fattools::mdir(image, d.offset).status, 0);
        seen.push_back({d.letter, d.length / 512});
    }
    return seen;
}

TEST(Format, WhatTheDiskHoldsAfterwards) {
    Sandbox s;
    s.emulate();
    EXPECT_RUN(s.q({"format", "--yes", "--first", "30"}), kOk);
    // Replugged as the program asks: the host sees the new layout.
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    flashemu::DiskStatus status;
    ASSERT_TRUE(flashemu::getStatus(s.disk(), &status));
    EXPECT_TRUE(status.haveTable);
    EXPECT_FALSE(status.loggedIn);
    auto volumes = checkVolumes(s);
    ASSERT_EQ(volumes.size(), 2u);
    // 30% of 200000 sectors and the rest, less what precedes each volume.
    EXPECT_EQ(volumes[0].first, 'E');
    EXPECT_NEAR(double(volumes[0].second), 60000, 600);
    EXPECT_NEAR(double(volumes[1].second), 140000, 1400);

    EXPECT_RUN(s.q({"format", "--yes", "--mode", "secure", "--first", "50", "--password-stdin"}, "pw\npw\n"), kOk);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    EXPECT_RUN(s.q({"login", "--password-stdin"}, "pw\n"), kOk);
    ASSERT_TRUE(flashemu::getStatus(s.disk(), &status));
    EXPECT_TRUE(status.loggedIn);
    // Logged in, E: shows the secure area: half the disk less the login area.
    volumes = checkVolumes(s);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_NEAR(double(volumes[0].second), 100000 - 2500, 1000);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    ASSERT_TRUE(flashemu::getStatus(s.disk(), &status));
    EXPECT_FALSE(status.loggedIn);
}

TEST(Format, DiskFolderRelativeToTheCaller) {
    Sandbox s;
    // The library changes the current directory while it formats.
    EXPECT_RUN(s.run({"emulate", "rel", "--sectors", "200000"}), kOk);
    Result r = s.run({"--disk", "rel", "format", "--yes", "--first", "50"});
    EXPECT_RUN(r, kOk);
    Result info = s.run({"info"}, "", "rel");
    EXPECT_RUN(info, kOk);
    EXPECT_TRUE(has(info.out, "two public areas")) << info.out;
}

#ifdef _WIN32
// A name in the ANSI code page, or "" when the code page cannot spell it.
std::string ansiName(const wchar_t *name) {
    char out[64];
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, out, sizeof out, nullptr, &lossy);
    return n > 0 && !lossy ? std::string(out) : std::string();
}

bool isFolder(const std::string &ansiPath) {
    DWORD a = GetFileAttributesA(ansiPath.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Windows names one folder many ways: either separator, with or without the
// drive, "X:name" relative to the current folder of drive X: (which the
// library's change of the current directory while formatting would move), and
// in the ANSI code page the program's arguments come in.
TEST(Format, DiskFolderNamedTheWindowsWays) {
    Sandbox s;
    const std::string root = s.root.string(); // plain ASCII: the user's temporary folder
    const std::string drive = s.root.root_name().string();
    ASSERT_EQ(drive.size(), 2u) << root;
    fs::create_directories(s.root / "sub");
    struct Case {
        std::string created, used; // as given to emulate, then to --disk
        std::string where;         // where the disk must be, in full
    };
    std::vector<Case> cases = {
        {root + "\\slash", fs::path(root + "/slash").generic_string(), root + "\\slash"},
        {drive + "drel", drive + "drel\\", root + "\\drel"},
        {"sub\\back", "sub/back", root + "\\sub\\back"},
    };
    const std::string accented = ansiName(L"d\u00EDsk \u00FCber");
    if (!accented.empty()) cases.push_back({accented, ".\\" + accented, root + "\\" + accented});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.created + " then " + c.used);
        EXPECT_RUN(s.run({"emulate", c.created, "--sectors", "200000"}), kOk);
        EXPECT_TRUE(isFolder(c.where)) << c.where;
        Result f = s.run({"--disk", c.used, "format", "--yes", "--first", "50"});
        EXPECT_RUN(f, kOk);
        // The device named by its full path: the format reached that disk.
        Result info = s.run({"info"}, "", c.where);
        EXPECT_RUN(info, kOk);
        EXPECT_TRUE(has(info.out, "two public areas")) << info.out;
        EXPECT_TRUE(has(info.out, "E:  ")) << info.out;
        // And the folder the user named is the one reported.
        Result named = s.run({"--disk", c.used, "info"});
        EXPECT_RUN(named, kOk);
        EXPECT_TRUE(has(named.out, "emulated flash disk in " + c.where)) << named.out;
    }
}
#endif

TEST(Format, FailedWriteIsADeviceFailure) {
    Sandbox s;
    s.emulate({"--sectors", "200000", "--fail", "data:3"});
    Result r = s.q({"format", "--yes"});
    EXPECT_RUN(r, kDeviceFailure);
    EXPECT_TRUE(has(r.out, "Format Failed!")) << r.out;
}

TEST(Format, SecureDiskInputIsChecked) {
    Sandbox s;
    s.emulate();
    struct Case {
        std::vector<std::string> args;
        std::string input;
        const char *says;
    } cases[] = {
        {{"format", "--yes", "--mode", "secure", "--password-stdin"}, "one\nOne\n", "not same"},
        {{"format", "--yes", "--mode", "secure", "--password-stdin"}, "", "standard input ended"},
        {{"format", "--yes", "--mode", "secure", "--password-stdin"}, "only\n", "standard input ended"},
        {{"format", "--yes", "--mode", "secure", "--password-stdin"}, std::string(21, 'p') + "\n", "longer than 20"},
#ifndef _WIN32
        // Without --password-stdin only a terminal is asked; this child has none.
        {{"format", "--yes", "--mode", "secure"}, "typed\ntyped\n", "no terminal"},
#endif
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.says);
        Result r = s.q(c.args, c.input);
        EXPECT_RUN(r, kUsage);
        EXPECT_TRUE(has(r.out, c.says)) << r.out;
    }
    // Nothing was formatted.
    Result info = s.q({"info"});
    EXPECT_TRUE(has(info.out, "Password:        none")) << info.out;
    EXPECT_RUN(s.q({"login", "--password-stdin"}, "x\n"), kWrongState);
    EXPECT_RUN(s.q({"passwd", "--password-stdin"}, "x\nx\nx\n"), kWrongState);
}

TEST(Format, TooSmallForASecureSplit) {
    Sandbox s;
    s.emulate({"--sectors", "6000"});
    Result r = s.q({"format", "--yes", "--mode", "secure", "--first", "60", "--password-stdin"}, "a\na\n");
    EXPECT_RUN(r, kUsage);
    EXPECT_TRUE(has(r.out, "too small")) << r.out;
}

TEST(SecureDisk, FormatLoginAndPasswordChange) {
    Sandbox s;
    s.emulate();
    EXPECT_RUN(s.q({"format", "--yes", "--mode", "secure", "--first", "30", "--password-stdin"},
                   "Open Sesame\r\nOpen Sesame\r\n"),
               kOk);
    Result info = s.q({"info"});
    EXPECT_RUN(info, kOk);
    for (const char *part : {"secure disk: login area, secure area, public area", "Password:        set",
                             "Login state:     logged out", "2500"})
        EXPECT_TRUE(has(info.out, part)) << part << "\n" << info.out;

    Result wrong = s.q({"login", "--password-stdin"}, "open sesame\n");
    EXPECT_RUN(wrong, kWrongPassword);
    EXPECT_TRUE(has(wrong.out, "Password Error.")) << wrong.out;
    EXPECT_RUN(s.q({"login", "--password-stdin"}, ""), kUsage);

    Result login = s.q({"login", "--password-stdin"}, "Open Sesame\n");
    EXPECT_RUN(login, kOk);
    EXPECT_TRUE(has(login.out, "The secure area shows as E:")) << login.out;
    EXPECT_TRUE(has(login.out, "Login state:     logged in")) << login.out;

    // The login holds for the next program, as on a real disk, until a replug.
    Result later = s.q({"info"});
    EXPECT_TRUE(has(later.out, "Login state:     logged in")) << later.out;
    Result busy = s.q({"passwd", "--password-stdin"}, "Open Sesame\nnew\nnew\n");
    EXPECT_RUN(busy, kWrongState);
    EXPECT_TRUE(has(busy.out, "--replug")) << busy.out;
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug", "--force"}), kUsage);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    EXPECT_TRUE(has(s.q({"info"}).out, "Login state:     logged out"));

    EXPECT_RUN(s.q({"passwd", "--password-stdin"}, "wrong\nnew\nnew\n"), kWrongPassword);
    Result mismatch = s.q({"passwd", "--password-stdin"}, "Open Sesame\nnew\nNew\n");
    EXPECT_RUN(mismatch, kUsage);
    EXPECT_TRUE(has(mismatch.out, "not same")) << mismatch.out;
    EXPECT_RUN(s.q({"passwd", "--password-stdin"}, "Open Sesame\n"), kUsage);

    Result changed = s.q({"passwd", "--password-stdin"}, "Open Sesame\nclosed\nclosed\n");
    EXPECT_RUN(changed, kOk);
    EXPECT_TRUE(has(changed.out, "Change Password Complete!")) << changed.out;
    EXPECT_RUN(s.q({"login", "--password-stdin"}, "Open Sesame\n"), kWrongPassword);
    EXPECT_RUN(s.q({"login", "--password-stdin"}, "closed\n"), kOk);
}

#ifdef _WIN32
// Standard input that is no console (a pipe, as from mintty or a script) is
// read a line per password even without --password-stdin; its echo is not
// quendal's to switch off.
#ifndef _WIN32
TEST(SecureDisk, APasswordIsItsTextInTheCodePageOfTheUsersLanguage) {
    // "密碼" typed by a Traditional Chinese user is stored and sent as its Big5
    // bytes, as the windows here and on the original platform keep it; a user
    // whose code page lacks those characters is told so.
    Sandbox s;
    s.emulate();
    const std::string password = "\xE5\xAF\x86\xE7\xA2\xBC";
    s.env = {{"LC_ALL", "zh_TW.UTF-8"}};
    EXPECT_RUN(s.q({"format", "--mode", "secure", "--password-stdin"}, password + "\n" + password + "\n"), kOk);
    ASSERT_TRUE(flashemu::setLogging(s.disk(), true));
    EXPECT_RUN(s.q({"login", "--password-stdin"}, password + "\n"), kOk);
    const uint8_t big5[] = {0xB1, 0x4B, 0xBD, 0x58};
    const auto digest = flashemu::md5(big5, sizeof big5);
    bool sent = false;
    for (const flashemu::LogEntry &e : flashemu::readLog(s.disk()))
        if (e.op == "WriteDisk" && e.address == 0x60000000u && e.data.size() == 512)
            sent = std::equal(digest.begin(), digest.end(), e.data.begin() + 16);
    EXPECT_TRUE(sent) << "no login record with the digest of the Big5 bytes";

    ASSERT_TRUE(flashemu::replug(s.disk()));
    s.env = {{"LC_ALL", "en_US.UTF-8"}};
    Result r = s.q({"login", "--password-stdin"}, password + "\n");
    EXPECT_RUN(r, kUsage);
    EXPECT_TRUE(has(r.out, "code page 1252")) << r.out;
}
#endif

TEST(SecureDisk, PasswordsFromStandardInputThatIsNoConsole) {
    Sandbox s;
    s.emulate();
    Result f = s.q({"format", "--yes", "--mode", "secure"}, "piped\r\npiped\r\n");
    EXPECT_RUN(f, kOk);
    EXPECT_TRUE(has(f.out, "Confirm Password: ")) << f.out;
    EXPECT_RUN(s.q({"login"}, "Piped\n"), kWrongPassword);
    Result none = s.q({"login"}, "");
    EXPECT_RUN(none, kUsage);
    EXPECT_TRUE(has(none.out, "ended without a line")) << none.out;
    EXPECT_RUN(s.q({"login"}, "piped\n"), kOk);
}
#endif

TEST(SecureDisk, LoginRefusedByTheDeviceIsADeviceFailure) {
    Sandbox s;
    s.emulate({"--sectors", "200000", "--fail", "login:1"});
    EXPECT_RUN(s.q({"format", "--yes", "--mode", "secure", "--password-stdin"}, "pw\npw\n"), kOk);
    Result r = s.q({"login", "--password-stdin"}, "pw\n");
    EXPECT_RUN(r, kDeviceFailure);
    EXPECT_TRUE(has(r.out, "Login failed.")) << r.out;
}

TEST(Installation, MissingLibraryOrIncompleteTransport) {
    const fs::path bin = quendalProgram().parent_path(), name = quendalProgram().filename();
    Sandbox s;
    s.emulate();
    fs::path alone = s.root / "alone", partial = s.root / "partial";
    for (const fs::path &d : {alone, partial}) {
        fs::create_directories(d);
        fs::copy_file(quendalProgram(), d / name);
    }
    fs::copy_file(bin / "Quendal.dll", partial / "Quendal.dll");

    Result r = s.run({"info"}, "", s.disk(), alone / name);
    EXPECT_RUN(r, kNotInstalled);
    EXPECT_TRUE(has(r.out, "Can't load Quendal.dll")) << r.out;
#ifdef TRANSPORT_WITHOUT_READSCSI
    fs::copy_file(bin / TRANSPORT_WITHOUT_READSCSI, partial / "SCSI.dll");
    r = s.run({"info"}, "", s.disk(), partial / name);
    EXPECT_RUN(r, kNotInstalled);
    EXPECT_TRUE(has(r.out, "Can't load SCSI.dll")) << r.out;
#endif
}

TEST(Safety, FormatAsksFirstAndWithoutATerminalOnlyWithYes) {
    Sandbox s;
    s.emulate();
    const std::string before = s.q({"info"}).out;
    Result quiet = s.q({"format", "--first", "50"});
    EXPECT_RUN(quiet, kUsage);
    EXPECT_TRUE(has(quiet.out, "no terminal to ask on")) << quiet.out;
#ifndef _WIN32
    Result no = runOnTerminal({"format", "--first", "50"}, s.disk(), {"no"});
    EXPECT_RUN(no, kUsage);
    for (const std::string &shown :
         {"About to format emulated flash disk in " + s.disk() + ": 200000 sectors (97MByte)",
          std::string("It holds now: one public area; first area"), std::string("Everything on it will be lost")})
        EXPECT_TRUE(has(no.out, shown)) << no.out;
    EXPECT_EQ(s.q({"info"}).out, before) << "nothing was changed";
    EXPECT_RUN(runOnTerminal({"format", "--first", "50"}, s.disk(), {"yes"}), kOk);
    EXPECT_TRUE(has(s.q({"info"}).out, "two public areas"));
#endif
}

TEST(Safety, ASecondProgramFindsTheDiskInUseAndWhoHoldsIt) {
    Sandbox s;
    s.emulate();
    // This test program holds the disk as a password change between its read
    // of the table and its write would.
    auto holder = flashemu::makeEmulatorBackend(s.disk());
    ASSERT_EQ(holder->open(nullptr), 0);
    const std::string pid = "pid " + std::to_string(fileio::currentProcessId());
    Result f = s.q({"format", "--yes"});
    EXPECT_RUN(f, kWrongState);
    EXPECT_TRUE(has(f.out, "in use by") && has(f.out, pid)) << f.out;
    Result busy = s.q({"list"});
    EXPECT_RUN(busy, kOk);
    EXPECT_TRUE(has(busy.out, s.disk() + "  emulated flash disk  in use by") && has(busy.out, pid)) << busy.out;
    holder->close();
    Result free = s.q({"list", "--json"});
    EXPECT_RUN(free, kOk);
    EXPECT_TRUE(has(free.out, "\"state\": \"ready\", \"sectors\": 200000, \"layout\": \"one public area\""))
        << free.out;
}

#ifndef _WIN32
TEST(Terminal, PasswordsAreReadWithoutEcho) {
    Sandbox s;
    s.emulate();
    Result f = runOnTerminal({"format", "--yes", "--mode", "secure"}, s.disk(), {"Hidden Word", "Hidden Word"});
    EXPECT_RUN(f, kOk);
    EXPECT_TRUE(has(f.out, "Confirm Password: ")) << f.out;
    EXPECT_FALSE(has(f.out, "Hidden Word")) << f.out;
    Result l = runOnTerminal({"login"}, s.disk(), {"Hidden Word"});
    EXPECT_RUN(l, kOk);
    EXPECT_TRUE(has(l.out, "Logged in.")) << l.out;
    EXPECT_FALSE(has(l.out, "Hidden Word")) << l.out;
}
#endif

namespace {

// A store of saved tables of this test's own, inherited by the quendal it runs.
struct OwnStore {
    testsupport::ScratchDir home{"quendal-store"};
    testsupport::ScopedEnv xdg{"XDG_DATA_HOME", home.path().string()};
    testsupport::ScopedEnv local{"LOCALAPPDATA", home.path().string()};
};

// Erases the table sector of the copy at page, as a cut right after its erase does.
void eraseCopy(const Sandbox &s, uint32_t page) {
    std::array<uint8_t, 512> erased;
    erased.fill(0xFF);
    ASSERT_TRUE(flashemu::writeInfoSector(s.disk(), page, 0, erased.data()));
}

} // namespace

// Both copies of the table lost: the disk is unknown, and a table saved
// before brings it back with its layout and password, only once confirmed.
TEST(Table, ARestoreBringsBackADiskThatBecameUnknown) {
    OwnStore store;
    Sandbox s;
    s.emulate({"--sectors", "40000"});
    EXPECT_RUN(s.q({"format", "--yes", "--mode", "secure", "--password-stdin"}, "first\nfirst\n"), kOk);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    const std::string saved = (s.root / "mine.table").string();
    Result save = s.q({"table", "save", saved});
    EXPECT_RUN(save, kOk);
    EXPECT_TRUE(has(save.out, "two copies, at pages 8 and 40")) << save.out;
    EXPECT_RUN(s.q({"table", "save", saved}), kUsage); // nothing is written over
#ifndef _WIN32
    EXPECT_EQ(fs::status(saved).permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif

    eraseCopy(s, 8);
    eraseCopy(s, 40);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    EXPECT_RUN(s.q({"info"}), kUnknownDisk);
    Result unconfirmed = s.q({"table", "restore", saved});
    EXPECT_RUN(unconfirmed, kUsage);
    EXPECT_TRUE(has(unconfirmed.out, "no table left")) << unconfirmed.out;
    EXPECT_RUN(s.q({"info"}), kUnknownDisk);

    Result restored = s.q({"table", "restore", saved, "--yes"});
    EXPECT_RUN(restored, kOk);
    EXPECT_TRUE(has(restored.out, "Restored.")) << restored.out;
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    Result info = s.q({"info"});
    EXPECT_TRUE(has(info.out, "primary and backup copy")) << info.out;
    EXPECT_TRUE(has(info.out, "Password:        set")) << info.out;
    EXPECT_RUN(s.q({"login", "--password-stdin"}, "first\n"), kOk);
}

TEST(Table, ATableOfAnotherDiskIsNotWritten) {
    OwnStore store;
    Sandbox other, s;
    other.emulate({"--sectors", "30000"});
    const std::string saved = (other.root / "other.table").string();
    EXPECT_RUN(other.q({"table", "save", saved}), kOk);
    s.emulate({"--sectors", "40000"});
    Result r = s.q({"table", "restore", saved, "--yes"});
    EXPECT_RUN(r, kUsage);
    EXPECT_TRUE(has(r.out, "another disk")) << r.out;

    // The same model and size, but its copies live elsewhere: not this disk's
    // layout, so nothing is written where the saved table would put a copy.
    Sandbox moved;
    flashemu::DiskOptions o;
    o.sectors = 30000;
    o.primaryPage = 12;
    ASSERT_TRUE(flashemu::createDisk(moved.disk(), o));
    Result elsewhere = moved.q({"table", "restore", saved, "--yes"});
    EXPECT_RUN(elsewhere, kUsage);
    EXPECT_TRUE(has(elsewhere.out, "does not fit this disk")) << elsewhere.out;
}

// A restore writes the place without a sound copy first: cut off there, it
// leaves the sound copy as it was, and the next restore completes.
TEST(Table, ARestoreCutOffKeepsTheSoundCopy) {
    OwnStore store;
    Sandbox s;
    s.emulate({"--sectors", "40000"});
    const std::string saved = (s.root / "both.table").string();
    EXPECT_RUN(s.q({"table", "save", saved}), kOk);
    eraseCopy(s, 8);
    flashemu::Faults f;
    f.failKind = "info-table";
    f.failNth = 1;
    ASSERT_TRUE(flashemu::setFaults(s.disk(), f));
    EXPECT_RUN(s.q({"table", "restore", saved, "--yes"}), kDeviceFailure);
    ASSERT_TRUE(flashemu::setFaults(s.disk(), flashemu::Faults{}));
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    EXPECT_TRUE(has(s.q({"info"}).out, "one copy (no backup)"));
    EXPECT_RUN(s.q({"table", "restore", saved, "--yes"}), kOk);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    EXPECT_TRUE(has(s.q({"info"}).out, "primary and backup copy"));
}

// One copy left and nothing on this computer says where the other lived: a
// rewrite would erase the last copy, so it is refused unless forced.
TEST(Table, TheLastCopyIsRewrittenOnlyWhenForced) {
    OwnStore store;
    Sandbox s;
    s.emulate({"--sectors", "40000"});
    eraseCopy(s, 40);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    Result refused = s.q({"format", "--yes"});
    EXPECT_RUN(refused, kWrongState);
    EXPECT_TRUE(has(refused.out, "--force")) << refused.out;
    EXPECT_RUN(s.q({"format", "--yes", "--force"}), kOk);
    EXPECT_RUN(s.q({"emulate", s.disk(), "--replug"}), kOk);
    EXPECT_TRUE(has(s.q({"info"}).out, "one copy (no backup)"));
}
