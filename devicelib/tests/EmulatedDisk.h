// A factory-fresh emulated flash disk in a temporary folder, opened through
// Quendal.dll the way a host opens it, and the few things a test rig does to
// the device behind the library's back (reading and planting table copies,
// counting the commands the library sent).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "FlashEmulator.h"
#include "QuendalLib.h"
#include "TestProcess.h"
#include "byteorder.h"

namespace tabletest {

using Sector = std::array<uint8_t, 512>;

inline testsupport::QuendalLib &q() {
    static bool loaded = false;
    auto &l = testsupport::lib();
    if (!loaded) {
        loaded = true;
        l.LoadDiskLib();
    }
    return l;
}

// Check word of a VersionTable sector, computed here independently of the library.
inline void sealTable(uint8_t *t) {
    uint32_t x = 0;
    for (size_t o = 0; o < 512; o += 4)
        if (o != 4) x ^= bo::getLE32(t + o);
    bo::putLE32(t + 4, x);
}

// Digests of the passwords the tests use, taken with md5sum(1).
struct KnownPassword {
    const char *text;
    const char *md5hex;
};
constexpr KnownPassword kOldPassword{"Open Sesame", "026cd71be5149e4c645a45b4915d9917"};
constexpr KnownPassword kNewPassword{"n3w-Passw0rd", "a709b433d58fab7cf9f962a20e52b31b"};

inline std::array<uint8_t, 16> digestOf(const KnownPassword &p) {
    std::array<uint8_t, 16> d{};
    for (size_t i = 0; i < 16; ++i) d[i] = uint8_t(std::stoul(std::string(p.md5hex + 2 * i, 2), nullptr, 16));
    return d;
}

inline uint32_t xorWords(const uint8_t *p, size_t words) {
    uint32_t x = 0;
    for (size_t i = 0; i < words; ++i) x ^= bo::getLE32(p + 4 * i);
    return x;
}

class EmulatedDisk {
public:
    explicit EmulatedDisk(const flashemu::DiskOptions &options = {}) : options_(options) {
        std::string error;
        if (!flashemu::createDisk(dir(), options, &error)) ADD_FAILURE() << "createDisk: " << error;
        testsupport::setEnv(flashemu::kDiskEnv, dir());
    }
    ~EmulatedDisk() {
        q().FreeFlashDisk();
        q().DiskRemove();
        testsupport::unsetEnv(flashemu::kDiskEnv);
    }
    const std::string &dir() const { return dir_str_; }
    const flashemu::DiskOptions &options() const { return options_; }

    // A replug: the device opened afresh, the library's table forgotten.
    int32_t open() {
        InitDiskParams params{};
        int32_t r = q().InitFlashDisk(&params);
        q().InitVariable();
        return r;
    }
    // What the manager runs after opening the device: the scan's result.
    int32_t loadTable(Sector *table = nullptr) {
        Sector t{};
        q().InitVariable();
        int32_t r = q().GetConfigTable(t.data());
        q().UpdateParam();
        if (table) *table = t;
        return r;
    }

    Sector infoSector(uint32_t page, uint32_t slot) const {
        Sector s{};
        EXPECT_TRUE(flashemu::readInfoSector(dir(), page, slot, s.data()));
        return s;
    }
    void setInfoSector(uint32_t page, uint32_t slot, const Sector &s) {
        EXPECT_TRUE(flashemu::writeInfoSector(dir(), page, slot, s.data()));
    }
    // Changes the table sector of the copy at page and seals it again.
    void editTable(uint32_t page, const std::function<void(uint8_t *)> &edit, bool reseal = true) {
        Sector t = infoSector(page, 0);
        edit(t.data());
        if (reseal) sealTable(t.data());
        setInfoSector(page, 0, t);
    }
    // Gives every VersionTable copy a password and a secure layout, as a format would.
    void plantPassword(const KnownPassword &password) {
        const auto d = digestOf(password);
        for (int32_t page : {options_.primaryPage, options_.backupPage}) {
            if (page < 0) continue;
            editTable(uint32_t(page), [&](uint8_t *t) {
                std::memcpy(t + 208, d.data(), 16);
                t[234] = 2;
            });
        }
        // The controller takes a table written behind its back at its next start.
        EXPECT_TRUE(flashemu::replug(dir()));
    }

    void startLog() {
        flashemu::setLogging(dir(), true);
        flashemu::clearLog(dir());
    }
    std::vector<flashemu::LogEntry> log() const { return flashemu::readLog(dir()); }
    void setFaults(const flashemu::Faults &f) { flashemu::setFaults(dir(), f); }
    void failWrite(const std::string &kind, uint32_t nth) {
        flashemu::Faults f;
        f.failKind = kind;
        f.failNth = nth;
        setFaults(f);
    }
    void clearFaults() { setFaults(flashemu::Faults{}); }

private:
    testsupport::TempDir tmp_;
    std::string dir_str_ = tmp_.str() + "/disk";
    flashemu::DiskOptions options_;
};

inline size_t countOps(const std::vector<flashemu::LogEntry> &log, const std::string &op,
                       const std::function<bool(uint32_t)> &address = nullptr) {
    size_t n = 0;
    for (const auto &e : log)
        if (e.op == op && (!address || address(e.address))) ++n;
    return n;
}

// What an erased flash sector reads as.
inline Sector erasedSector() {
    Sector s;
    s.fill(0xFF);
    return s;
}

// The writes of a log, in order.
inline std::vector<flashemu::LogEntry> writesIn(const std::vector<flashemu::LogEntry> &log) {
    std::vector<flashemu::LogEntry> out;
    for (const auto &e : log)
        if (e.op == "WriteDisk") out.push_back(e);
    return out;
}

inline bool isCandidateRead(uint32_t a) { return a >= 0x10000000u && a < 0x10001000u && (a & 3u) == 0; }
inline bool isInfoRead(uint32_t a) { return a >= 0x10000000u && a < 0x20000000u && !isCandidateRead(a); }
inline bool isInfoWrite(uint32_t a) { return a >= 0x20000000u && a < 0x40000000u; }

// Runs body in a child process (for what stays set for the life of a process,
// such as file-login mode) and returns its exit status; 100 and up when the
// child did not end on its own.
#ifdef _WIN32
// Without fork the test program runs again for the current test alone. The
// copy started with the marker naming this call runs the body when it gets
// here and leaves; everything before the call it repeats for itself. Its
// temporary folder is one of the parent's, removed when the child is done.
inline constexpr const char *kChildMarker = "QUENDAL_TEST_CHILD";

inline int inChild(const std::function<int()> &body) {
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    static std::string lastTest;
    static int index = 0;
    if (name != lastTest) {
        lastTest = name;
        index = 0;
    }
    const std::string call = name + "#" + std::to_string(index++);
    const std::string marker = testsupport::getEnv(kChildMarker);
    if (!marker.empty()) {
        // In a child: only the marked call runs; calls before it were the
        // parent's to run.
        if (marker != call) return 0;
        const int code = body();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    testsupport::ScratchDir temp("quendal-child");
    testsupport::ProcessOptions options;
    options.env = {{kChildMarker, call}, {"TMP", temp.str()}, {"TEMP", temp.str()}};
    const auto r = testsupport::runProcess(testsupport::programPath(), {"--gtest_filter=" + name}, options);
    if (!r.started || r.crashed || r.timedOut) {
        ADD_FAILURE() << "child run of " << call << " failed:\n" << r.output;
        return 100;
    }
    return r.exitCode;
}
#else
inline int inChild(const std::function<int()> &body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
#endif

} // namespace tabletest
