// The rig of the end-to-end fault tests: emulated disks in a temporary folder,
// the programs of the build run as their own processes (quendal, and the
// manager's start-up when the windowed programs are built), what the device
// itself holds read off it behind the programs' backs, and the fault report
// document whose tables these tests generate.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FlashEmulator.h"
#include "Subprocess.h"
#include "byteorder.h"

namespace faults {

constexpr uint32_t kSectors = 40000;       // room for three areas, quick to format
constexpr uint32_t kCopyPages[] = {8, 40}; // where a fresh disk keeps its two table copies

struct Scratch {
    std::filesystem::path path;
    Scratch() {
        std::string t = (std::filesystem::temp_directory_path() / "quendal-faults-XXXXXX").string();
        if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp");
        path = t;
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string str(const std::string &sub = "") const { return sub.empty() ? path.string() : (path / sub).string(); }
};

inline RunResult quendal(const std::string &disk, std::vector<std::string> args, const std::string &input,
                         const std::string &scratch) {
    args.insert(args.begin(), {QUENDAL_CLI, "--disk", disk});
    return runProgram(args, input, scratch);
}

// What the device holds, checked here without the library: the table in force
// after a replug, and which of the two copies is sound (signature, words that
// XOR to 0, version text, and the mark in the last information sector).
struct Truth {
    bool table = false;
    uint8_t layoutKind = 0;
    uint32_t capacity = 0; // sum of the three area sizes, as hosts read it
    bool password = false;
    int soundCopies = 0;
};

inline bool soundCopy(const std::string &dir, uint32_t page) {
    std::array<uint8_t, 512> t{}, info{};
    if (!flashemu::readInfoSector(dir, page, 0, t.data())) return false;
    uint32_t x = 0;
    for (size_t o = 0; o < 512; o += 4) x ^= bo::getLE32(t.data() + o);
    if (bo::getLE32(t.data()) != 0x5A5A5A5Au || x != 0 || std::memcmp(t.data() + 204, "2.00", 4) != 0) return false;
    // Information sector 7 lies in the second page after the table, 4 sectors a page.
    if (!flashemu::readInfoSector(dir, page + 2, 3, info.data())) return false;
    return bo::getLE32(info.data() + 504) == 0xA5A5A5A5u;
}

inline Truth deviceTruth(const std::string &dir) {
    Truth t;
    flashemu::DiskStatus st;
    if (!flashemu::getStatus(dir, &st)) return t;
    t.table = st.haveTable;
    if (t.table) {
        t.layoutKind = st.table[234];
        t.capacity = bo::getLE32(st.table.data() + 236) + bo::getLE32(st.table.data() + 240) +
                     bo::getLE32(st.table.data() + 244);
        for (int i = 208; i < 224; ++i) t.password = t.password || st.table[i] != 0;
    }
    for (uint32_t p : kCopyPages) t.soundCopies += soundCopy(dir, p) ? 1 : 0;
    return t;
}

inline std::string copiesText(int n) { return n == 2 ? "both" : n == 1 ? "one" : "none"; }

// `quendal info` after a replug says what the device holds.
inline void expectInfoTells(const RunResult &info, const Truth &t, const std::string &what) {
    SCOPED_TRACE(what + ": quendal info said\n" + info.output);
    ASSERT_FALSE(info.signaled);
    if (!t.table) {
        EXPECT_EQ(info.exitCode, 4); // unknown flash disk
        return;
    }
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_EQ(field(info.output, "Layout").rfind("kind " + std::to_string(t.layoutKind) + ",", 0), 0u);
    EXPECT_EQ(field(info.output, "Password"), t.password ? "set" : "none");
    EXPECT_EQ(field(info.output, "Capacity").rfind(std::to_string(t.capacity) + " sectors", 0), 0u);
    // Only a second sound copy makes a backup.
    EXPECT_EQ(field(info.output, "Table").find("primary and backup copy") != std::string::npos, t.soundCopies == 2);
}

// The manager's start on this disk: what its main window shows, or "" when the
// windowed programs are not built.
inline std::string managerShows(const std::string &disk, const Truth &t, const std::string &scratch) {
#ifdef MANAGER_PROBE
    setenv(flashemu::kDiskEnv, disk.c_str(), 1);
    const RunResult r = runProgram({MANAGER_PROBE}, "", scratch);
    unsetenv(flashemu::kDiskEnv);
    EXPECT_FALSE(r.signaled) << r.output;
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const size_t at = r.output.find("capacity ");
    const size_t end = r.output.find(',', at);
    if (at == std::string::npos || end == std::string::npos) {
        ADD_FAILURE() << "no start-up state in: " << r.output;
        return "?";
    }
    const std::string shown = r.output.substr(at + 9, end - at - 9);
    if (t.table) {
        EXPECT_EQ(shown, std::to_string(int32_t(t.capacity) / 2048) + "MByte") << r.output;
    } else {
        // The text of key UNKNOWDISK in the language file.
        EXPECT_NE(shown.find("Flash Disk"), std::string::npos) << r.output;
        EXPECT_EQ(shown.find("MByte"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("buttons 000"), at + 9 + shown.size() + 2) << "no button may be enabled";
    }
    return shown;
#else
    (void)disk;
    (void)t;
    (void)scratch;
    return "";
#endif
}

// Runs one program with the disk failing as f says, then clears the fault and
// replugs the disk, as a user does after a failed operation.
template <typename Run> RunResult cutOff(const std::string &disk, const flashemu::Faults &f, Run run) {
    EXPECT_TRUE(flashemu::setFaults(disk, f));
    const RunResult r = run();
    EXPECT_FALSE(r.signaled) << r.output;
    EXPECT_TRUE(flashemu::setFaults(disk, flashemu::Faults{}));
    EXPECT_TRUE(flashemu::replug(disk));
    return r;
}

// Every rewrite saves the disk's table first, into the user's store. Each case
// keeps a store of its own (the disks of all cases are copies of one disk, and
// what one case saved must tell nothing to another).
inline void useStore(const std::string &folder) { setenv("XDG_DATA_HOME", folder.c_str(), 1); }

// The table the case saved first, before its first cut: the names of one disk's
// files sort by the time they were saved.
inline std::string firstSavedTable(const std::string &store) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(std::filesystem::path(store) / "quendal" / "tables", ec))
        if (e.path().extension() == ".table") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files.empty() ? std::string() : files.front();
}

// Writes the first saved table back, as a user would after two cuts, and
// replugs. True when the disk is back as it was before the first cut: both
// copies sound, with that table's layout, capacity and password.
inline bool restoresFirstSaved(const std::string &disk, const std::string &store, const Truth &before,
                               const std::string &scratch, const std::string &what) {
    SCOPED_TRACE(what + ": restore");
    const std::string saved = firstSavedTable(store);
    EXPECT_FALSE(saved.empty()) << "no table was saved before the first cut";
    const RunResult r = quendal(disk, {"table", "restore", saved, "--yes"}, "", scratch);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(flashemu::replug(disk));
    const Truth after = deviceTruth(disk);
    expectInfoTells(quendal(disk, {"info"}, "", scratch), after, what + ", restored");
    return r.exitCode == 0 && after.soundCopies == 2 && after.table && after.layoutKind == before.layoutKind &&
           after.capacity == before.capacity && after.password == before.password;
}

// The fault report keeps one generated table per test between markers; a test
// whose table differs from the document fails and says how to regenerate it.
inline void checkReportSection(const std::string &name, const std::string &table) {
#ifndef MANAGER_PROBE
    // Without the windowed programs the manager's column cannot be filled in:
    // the document describes the full build.
    (void)name;
    (void)table;
    return;
#endif
    const std::string path = std::string(QUENDAL_SOURCE_DIR) + "/docs/fault-report.md";
    const std::string begin = "<!-- generated: " + name + " -->\n", end = "<!-- end: " + name + " -->";
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string doc = s.str();
    const size_t b = doc.find(begin), e = doc.find(end);
    ASSERT_TRUE(b != std::string::npos && e != std::string::npos && b < e) << path << " lacks the markers of " << name;
    const std::string current = doc.substr(b + begin.size(), e - b - begin.size());
    if (current == table) return;
    if (std::getenv("QUENDAL_UPDATE_FAULT_REPORT")) {
        doc.replace(b + begin.size(), e - b - begin.size(), table);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << doc;
        return;
    }
    ADD_FAILURE() << "docs/fault-report.md no longer tells what the system does (" << name
                  << "). Regenerate it with\n  QUENDAL_UPDATE_FAULT_REPORT=1 ctest -R faults_\n"
                  << "and review the change. The table now reads:\n"
                  << table;
}

} // namespace faults
