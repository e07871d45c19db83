// A format cut off at each of its phases: the whole-disk table, the first and
// last write of each area's image, every kind of information-block write, and
// the commit. Whatever was cut, the next start (after the replug the program
// asks for) must read the disk without crashing and say truthfully what the
// device holds; the same cut once more must leave a copy of the table; the
// table saved before the first cut must bring the disk back; and a new format
// must succeed.
#include <map>

#include "FaultRig.h"

namespace faults {
namespace {

const char kPassword[] = "first-secret";

struct Phase {
    std::string name;
    std::string kind; // emulator write kind
    uint32_t nth;
};

// The image writes of a clean format, numbered as the emulator counts data
// writes: a write that does not continue the one before starts a new area.
std::vector<Phase> imagePhases(const std::vector<flashemu::LogEntry> &log) {
    std::vector<Phase> out;
    uint32_t n = 0, expected = 0, area = 0, last = 0;
    for (const flashemu::LogEntry &e : log) {
        const bool write = e.op == "WriteDisk" || (e.op == "WriteScsi" && e.hasCdb && e.cdb[0] == 0x2A);
        if (!write || e.address >= 0x10000000u || e.result == 0) continue;
        ++n;
        if (n == 1 || e.address != expected) {
            if (n > 1) out.push_back({"area " + std::to_string(area - 1) + " image, last write", "data", n - 1});
            out.push_back({"area " + std::to_string(area) + " image, first write", "data", n});
            ++area;
        }
        expected = e.address + e.count;
        last = n;
    }
    if (last) out.push_back({"area " + std::to_string(area - 1) + " image, last write", "data", last});
    return out;
}

class FormatFaults : public ::testing::Test {
protected:
    Scratch scratch;

    std::string freshDisk(const std::string &name) {
        flashemu::DiskOptions o;
        o.sectors = kSectors;
        std::string error;
        const std::string dir = scratch.str(name);
        EXPECT_TRUE(flashemu::createDisk(dir, o, &error)) << error;
        return dir;
    }
    RunResult formatSecure(const std::string &disk) {
        const std::string pw = std::string(kPassword) + "\n";
        return quendal(disk, {"format", "--yes", "--mode", "secure", "--first", "40", "--password-stdin"}, pw + pw,
                       scratch.str());
    }
};

TEST_F(FormatFaults, EveryPhaseLeavesADiskThatReadsTruthfullyAndFormatsAgain) {
    // A clean run names the phases: how many image writes each area takes.
    const std::string clean = freshDisk("clean");
    flashemu::setLogging(clean, true);
    const RunResult ok = formatSecure(clean);
    ASSERT_EQ(ok.exitCode, 0) << ok.output;
    std::vector<Phase> phases = {{"whole-disk table", "whole-disk", 1}};
    for (const Phase &p : imagePhases(flashemu::readLog(clean))) phases.push_back(p);
    ASSERT_GE(phases.size(), 5u) << "a secure format of two areas writes two images";
    const std::vector<Phase> info = {
        {"primary block erase", "prepare", 1},       {"primary table sector", "info-table", 1},
        {"primary information sector 1", "info", 1}, {"primary information sector 8", "info", 8},
        {"backup block erase", "prepare", 2},        {"backup table sector", "info-table", 2},
        {"backup information sector 8", "info", 16}, {"commit", "commit", 1},
    };
    phases.insert(phases.end(), info.begin(), info.end());

    std::string table = "| fault in the format | quendal format | table copies after replug | layout kind | password | "
                        "manager shows | copies after the same cut again | restored from the saved table | "
                        "format again |\n|---|---|---|---|---|---|---|---|---|\n";
    int n = 0;
    for (const Phase &phase : phases) {
        SCOPED_TRACE(phase.name);
        const std::string name = "case" + std::to_string(n++);
        const std::string disk = freshDisk(name), store = scratch.str(name + "-store");
        useStore(store);
        const Truth before = deviceTruth(disk);
        flashemu::Faults f;
        f.failKind = phase.kind;
        f.failNth = phase.nth;
        const RunResult formatted = cutOff(disk, f, [&] { return formatSecure(disk); });

        const Truth t = deviceTruth(disk);
        expectInfoTells(quendal(disk, {"info"}, "", scratch.str()), t, phase.name);
        const std::string shown = managerShows(disk, t, scratch.str());
        // A table that carries this format's password opens with it.
        if (t.table && t.password) {
            const RunResult login =
                quendal(disk, {"login", "--password-stdin"}, std::string(kPassword) + "\n", scratch.str());
            EXPECT_EQ(login.exitCode, 0) << login.output;
            ASSERT_TRUE(flashemu::replug(disk));
        }
        // Success is only reported when both copies hold the new layout.
        if (formatted.exitCode == 0) {
            EXPECT_EQ(t.soundCopies, 2);
        }
        if (phase.kind != "commit") {
            EXPECT_EQ(formatted.exitCode, 1) << formatted.output;
        }

        // The same cut again, on what the first one left: the copy the first cut
        // erased is written first, so the second cut never takes the last one.
        const RunResult second = cutOff(disk, f, [&] { return formatSecure(disk); });
        const Truth t2 = deviceTruth(disk);
        EXPECT_GE(t2.soundCopies, 1) << second.output;
        expectInfoTells(quendal(disk, {"info"}, "", scratch.str()), t2, phase.name + ", cut again");
        const bool back = restoresFirstSaved(disk, store, before, scratch.str(), phase.name);
        EXPECT_TRUE(back);

        const RunResult again = quendal(disk, {"format", "--yes", "--mode", "normal"}, "", scratch.str());
        EXPECT_EQ(again.exitCode, 0) << again.output;
        ASSERT_TRUE(flashemu::replug(disk));
        const Truth after = deviceTruth(disk);
        EXPECT_EQ(after.soundCopies, 2);
        EXPECT_EQ(after.layoutKind, 0);
        EXPECT_EQ(after.capacity, kSectors);
        expectInfoTells(quendal(disk, {"info"}, "", scratch.str()), after, phase.name + ", formatted again");

        table += "| " + phase.name + " (" + phase.kind + " #" + std::to_string(phase.nth) + ") | " +
                 (formatted.exitCode == 0 ? "success" : "failure (exit " + std::to_string(formatted.exitCode) + ")") +
                 " | " + copiesText(t.soundCopies) + " | " + (t.table ? std::to_string(t.layoutKind) : "-") + " | " +
                 (t.password ? "set" : "none") + " | " + (shown.empty() ? "(not built)" : shown) + " | " +
                 copiesText(t2.soundCopies) + " | " + (back ? "back, both copies" : "NOT BACK") + " | " +
                 (again.exitCode == 0
                      ? "succeeds, " + copiesText(after.soundCopies) + (after.soundCopies == 1 ? " copy" : " copies")
                      : "FAILS") +
                 " |\n";
    }
    checkReportSection("format", table);
}

} // namespace
} // namespace faults
