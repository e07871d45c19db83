// The login from the disk itself, as a user does it: a secure disk formatted by
// the command-line tool from the program folder (so that PWD is copied onto its
// login volume), the launcher taken off that volume with mtools, started from a
// folder the drive table places on the volume, and the login program it starts
// found among the processes with the drive of that volume as its parameter.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "FatTools.h"
#include "FlashEmulator.h"
#include "Quendal.h"
#include "platform/Drives.h"

namespace fs = std::filesystem;
using fattools::quote;

namespace {

const char kPassword[] = "from-the-disk";

std::string readFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Scratch {
    fs::path dir;
    Scratch() {
        std::string t = (fs::temp_directory_path() / "sarvik-disk-XXXXXX").string();
        if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp");
        dir = fs::absolute(t);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// The processes running this executable file, with their arguments.
std::vector<std::pair<pid_t, std::vector<std::string>>> processesOf(const fs::path &exe) {
    std::vector<std::pair<pid_t, std::vector<std::string>>> out;
    for (const auto &e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code ec;
        if (fs::read_symlink(e.path() / "exe", ec) != exe) continue;
        std::vector<std::string> args;
        std::stringstream cmdline(readFile(e.path() / "cmdline"));
        for (std::string a; std::getline(cmdline, a, '\0');) args.push_back(a);
        out.push_back({pid_t(std::stoi(name)), args});
    }
    return out;
}

template <class F> bool waitFor(F &&done, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

} // namespace

TEST(LoginFromTheDisk, LauncherOnTheLoginVolumeStartsTheLoginProgramOnThatDrive) {
    Scratch s;
    const fs::path disk = s.dir / "disk";
    flashemu::DiskOptions o;
    o.sectors = 40000;
    std::string error;
    ASSERT_TRUE(flashemu::createDisk(disk.string(), o, &error)) << error;

    // The tool copies PWD from beside itself, as the manager does.
    const fs::path bin = fs::path(PWD_DIR).parent_path();
    ASSERT_EQ(fs::path(QUENDAL_TOOL).parent_path(), bin);
    const auto format = fattools::run("cd " + quote(bin.string()) + " && printf '%s\\n%s\\n' " + quote(kPassword) +
                                      " " + quote(kPassword) + " | " + quote(QUENDAL_TOOL) + " --disk " +
                                      quote(disk.string()) + " format --mode secure --first 50 --password-stdin --yes");
    ASSERT_EQ(format.status, 0) << format.output;
    ASSERT_TRUE(flashemu::replug(disk.string()));

    const auto drives = platform::parseDriveMap(readFile(flashemu::drivesPath(disk.string())), disk.string());
    ASSERT_FALSE(drives.empty());
    const platform::DriveEntry login = drives.front();
    const std::string image = quote(login.source + "@@" + std::to_string(login.offset));

    // What the user finds on the login volume.
    const auto dir = fattools::run("MTOOLS_SKIP_CHECK=1 mdir -b -i " + image + " ::");
    ASSERT_EQ(dir.status, 0) << dir.output;
    EXPECT_NE(dir.output.find("LATCHKIN"), std::string::npos) << dir.output;
    EXPECT_NE(dir.output.find("README.TXT"), std::string::npos) << dir.output;
    const fs::path mount = s.dir / "mnt";
    fs::create_directories(mount / "docs");
    const fs::path launcher = mount / "LATCHKIN";
    const auto copy =
        fattools::run("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + image + " ::LATCHKIN " + quote(launcher.string()));
    ASSERT_EQ(copy.status, 0) << copy.output;
    ASSERT_EQ(readFile(launcher), readFile(fs::path(PWD_DIR) / "Latchkin")) << "the copy on the disk differs";
    EXPECT_EQ(readFile(fs::path(PWD_DIR) / "README.TXT"),
              fattools::run("MTOOLS_SKIP_CHECK=1 mtype -i " + image + " ::README.TXT").output);
    fs::permissions(launcher, fs::perms::owner_all);

    // The volume mounted on that folder, as a drive map says.
    const fs::path map = s.dir / "drives";
    {
        std::ofstream out(map);
        out << login.letter << ":\t" << login.source << '\t' << login.offset << '\t' << login.length << "\trw\t"
            << mount.string() << '\n';
    }
    const fs::path run = s.dir / "run";
    fs::create_directories(run);
    fs::permissions(run, fs::perms::owner_all);
    ASSERT_TRUE(flashemu::setLogging(disk.string(), true));

    // Started from a folder below the volume's root: the drive is still the volume's.
    const auto started =
        fattools::run("cd " + quote((mount / "docs").string()) + " && env XDG_RUNTIME_DIR=" + quote(run.string()) +
                      " FLASHDISK_EMULATOR=" + quote(disk.string()) + " FLASHDISK_DRIVES=" + quote(map.string()) +
                      " QT_QPA_PLATFORM=offscreen ../LATCHKIN >" + quote((s.dir / "launcher.log").string()) + " 2>&1");
    // (The login program keeps the launcher's output open: it goes to a file,
    // not to a pipe that would only end with the login program.)
    ASSERT_EQ(started.status, 0) << readFile(s.dir / "launcher.log");

    const fs::path program = run / "Sarvik.exe";
    std::vector<std::pair<pid_t, std::vector<std::string>>> found;
    ASSERT_TRUE(waitFor([&] { return !(found = processesOf(program)).empty(); }, 10000))
        << "the login program did not start";
    ASSERT_EQ(found.size(), 1u);
    const pid_t pid = found[0].first;
    EXPECT_EQ(found[0].second, (std::vector<std::string>{program.string(), std::string(1, login.letter) + ":\\"}));
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), mount / "docs");
    EXPECT_EQ(fs::file_size(run / "FlashDisk.ini"), 56u);

    // It came up and opened the device with the settings the launcher wrote.
    InitDiskParams expected{};
    std::strcpy(expected.version, "2.00");
    const bool opened = waitFor(
        [&] {
            for (const flashemu::LogEntry &e : flashemu::readLog(disk.string()))
                if (e.op == "InitDisk" && e.data.size() == sizeof expected &&
                    std::memcmp(e.data.data(), &expected, sizeof expected) == 0 && e.result == 0)
                    return true;
            return false;
        },
        10000);
    kill(pid, SIGTERM);
    EXPECT_TRUE(opened) << "the login program never opened the disk";
    EXPECT_TRUE(waitFor([&] { return !fs::exists("/proc/" + std::to_string(pid) + "/exe"); }, 5000));
    EXPECT_FALSE(flashemu::loggedIn(disk.string()));
}
