// Boots a disk image in qemu for the boot tests and collects what the boot
// code and the test system file report: COM1 (the system file) and the debug
// console at port 0E9h (the loaders' messages).
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace boottest {

namespace fs = std::filesystem;

inline std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::optional<std::string> findQemu() {
    const char *path = std::getenv("PATH");
    if (!path) return std::nullopt;
    for (const char *name : {"qemu-system-i386", "qemu-system-x86_64"}) {
        std::string dirs = path;
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
            start = end + 1;
        }
    }
    return std::nullopt;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "boottest.XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

struct Geometry {
    int heads = 0; // 0: let qemu and the BIOS choose
    int sectorsPerTrack = 0;
};

struct Machine {
    std::string disk;
    Geometry geometry;
    bool hideLba = false;  // boot the LBA-hiding floppy first
    bool floppy = false;   // the disk is drive A: (BIOS drive 00h), booted from
    bool flakyChs = false; // with hideLba: every other CHS read fails once
};

struct BootOutput {
    std::string serial;  // COM1: the system file's report
    std::string console; // port 0E9h: the loaders' messages
};

// Boots the machine until `until` shows on either output or the time is up.
inline BootOutput boot(const std::string &qemu, const TempDir &dir, const Machine &m, const std::string &until) {
    const std::string serial = dir.file("serial.txt");
    const std::string console = dir.file("console.txt");
    std::remove(serial.c_str());
    std::remove(console.c_str());

    std::vector<std::string> args = {qemu,      "-display",       "none",      "-no-reboot",     "-m",
                                     "16",      "-nic",           "none",      "-monitor",       "none",
                                     "-serial", "file:" + serial, "-debugcon", "file:" + console};
    if (m.floppy) {
        args.insert(args.end(), {"-drive", "if=floppy,index=0,format=raw,file=" + m.disk, "-boot", "order=a"});
    } else if (m.geometry.heads) {
        uint64_t sectors = fs::file_size(m.disk) / 512;
        uint64_t cylinders = sectors / uint64_t(m.geometry.heads * m.geometry.sectorsPerTrack);
        args.insert(args.end(), {"-drive", "if=none,id=hd,format=raw,file=" + m.disk, "-device",
                                 "ide-hd,drive=hd,bios-chs-trans=none,cyls=" + std::to_string(cylinders) +
                                     ",heads=" + std::to_string(m.geometry.heads) +
                                     ",secs=" + std::to_string(m.geometry.sectorsPerTrack)});
    } else {
        args.insert(args.end(), {"-drive", "if=ide,index=0,format=raw,file=" + m.disk});
    }
    if (m.floppy) {
        // booted from drive A: above
    } else if (m.hideLba) {
        const std::string floppy = dir.file("hider.img");
        std::vector<uint8_t> image(1474560, 0);
        auto hider = readFile(BOOT_TEST_LBA_HIDER);
        EXPECT_EQ(hider.size(), 512u);
        std::copy(hider.begin(), hider.end(), image.begin());
        image[0x1FD] = m.flakyChs ? 1 : 0;
        std::ofstream(floppy, std::ios::binary).write(reinterpret_cast<const char *>(image.data()), image.size());
        args.insert(args.end(), {"-drive", "if=floppy,index=0,format=raw,file=" + floppy, "-boot", "order=a"});
    } else {
        args.insert(args.end(), {"-boot", "order=c"});
    }

    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("qemu.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, qemu.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    BootOutput out;
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << qemu;
        return out;
    }

    // Without KVM a boot takes a second or two; a slow shared machine gets more.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto s = readFile(serial), c = readFile(console);
        out.serial.assign(s.begin(), s.end());
        out.console.assign(c.begin(), c.end());
        if (out.serial.find(until) != std::string::npos || out.console.find(until) != std::string::npos) break;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
    }
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (exited) {
        auto log = readFile(dir.file("qemu.log"));
        ADD_FAILURE() << "qemu ended early: " << std::string(log.begin(), log.end());
    }
    return out;
}

inline std::string hex(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, value);
    return buf;
}

} // namespace boottest
