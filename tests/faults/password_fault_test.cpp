// A password change cut off at each of its writes (every erase, table sector
// and information sector of both copies): afterwards, from a new start, either
// the old or the new password opens the secure area, never neither; quendal
// says truthfully what the device holds and which password works; the same
// cut once more leaves a copy of the table; the table saved before the first
// cut brings the disk back; and a further change succeeds.
#include "FaultRig.h"

namespace faults {
namespace {

const char kOld[] = "old-secret", kNew[] = "new-secret", kThird[] = "third-secret";

class PasswordFaults : public ::testing::Test {
protected:
    static Scratch *scratch;
    static std::string base; // a secure disk with password kOld, logged out

    static void SetUpTestSuite() {
        scratch = new Scratch;
        base = scratch->str("base");
        flashemu::DiskOptions o;
        o.sectors = kSectors;
        ASSERT_TRUE(flashemu::createDisk(base, o));
        const std::string pw = std::string(kOld) + "\n";
        const RunResult r =
            quendal(base, {"format", "--yes", "--mode", "secure", "--password-stdin"}, pw + pw, scratch->str());
        ASSERT_EQ(r.exitCode, 0) << r.output;
        ASSERT_TRUE(flashemu::replug(base));
    }
    static void TearDownTestSuite() {
        delete scratch;
        scratch = nullptr;
    }

    std::string copyOfBase(const std::string &name) {
        const std::string dir = scratch->str(name);
        const std::string cmd = "cp -a --sparse=always '" + base + "' '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return dir;
    }
    RunResult change(const std::string &disk, const std::string &from, const std::string &to) {
        return quendal(disk, {"passwd", "--password-stdin"}, from + "\n" + to + "\n" + to + "\n", scratch->str());
    }
    // Logs in from a new start, then unplugs again so the next check starts logged out.
    bool opens(const std::string &disk, const std::string &password) {
        const RunResult r = quendal(disk, {"login", "--password-stdin"}, password + "\n", scratch->str());
        EXPECT_FALSE(r.signaled) << r.output;
        // Opened, wrong password, or (no table left) an unknown disk.
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 5 || r.exitCode == 4) << r.output;
        EXPECT_TRUE(flashemu::replug(disk));
        return r.exitCode == 0;
    }
};
Scratch *PasswordFaults::scratch = nullptr;
std::string PasswordFaults::base;

TEST_F(PasswordFaults, EveryWriteCutLeavesOnePasswordWorkingAndTheNextChangeSucceeds) {
    // The writes of a clean change, counted as the emulator counts them.
    const std::string clean = copyOfBase("clean");
    flashemu::setLogging(clean, true);
    flashemu::clearLog(clean);
    const RunResult ok = change(clean, kOld, kNew);
    ASSERT_EQ(ok.exitCode, 0) << ok.output;
    std::vector<std::string> writes;
    for (const flashemu::LogEntry &e : flashemu::readLog(clean)) {
        if (e.op != "WriteDisk" && e.op != "WriteScsi") continue;
        const uint32_t code = e.address >> 26;
        writes.push_back(e.address == 0x40000000u                   ? "erase"
                         : (code == 8 && (e.address & 0x00800000u)) ? "table sector"
                         : (code >= 8 && code <= 11)                ? "information sector"
                                                                    : "other");
    }
    ASSERT_GE(writes.size(), 20u) << "two copies of a table and eight information sectors each";

    const Truth original = deviceTruth(base);
    std::string table = "| write cut in the change | quendal passwd | copies after replug | old opens | new opens | "
                        "copies after the same cut again | restored from the saved table | further change | "
                        "copies after it |\n|---|---|---|---|---|---|---|---|---|\n";
    for (uint32_t n = 1; n <= writes.size(); ++n) {
        const std::string what = "write " + std::to_string(n) + " (" + writes[n - 1] + ")";
        SCOPED_TRACE(what);
        const std::string disk = copyOfBase("case" + std::to_string(n));
        const std::string store = scratch->str("case" + std::to_string(n) + "-store");
        useStore(store);
        flashemu::Faults f;
        f.failKind = "any";
        f.failNth = n;
        const RunResult r = cutOff(disk, f, [&] { return change(disk, kOld, kNew); });

        const Truth t = deviceTruth(disk);
        expectInfoTells(quendal(disk, {"info"}, "", scratch->str()), t, what);
        managerShows(disk, t, scratch->str());
        const bool oldOpens = opens(disk, kOld), newOpens = opens(disk, kNew);
        EXPECT_TRUE(oldOpens || newOpens) << "neither password opens the disk";
        EXPECT_FALSE(oldOpens && newOpens);
        // A change reported as done is done; one reported as failed may have
        // reached the first copy, which then rules.
        if (r.exitCode == 0) {
            EXPECT_TRUE(newOpens);
        } else {
            EXPECT_EQ(r.exitCode, 1) << r.output;
            // It read the disk again to say which password works.
            EXPECT_NE(r.output.find(oldOpens ? "still takes the old password" : "takes the new password now"),
                      std::string::npos)
                << r.output;
        }

        // The same cut again, in a change from the password that works now: the
        // copy the first cut erased is written first, so one copy stays.
        const RunResult again = cutOff(disk, f, [&] { return change(disk, newOpens ? kNew : kOld, kNew); });
        const Truth t2 = deviceTruth(disk);
        EXPECT_GE(t2.soundCopies, 1) << again.output;
        EXPECT_TRUE(opens(disk, kOld) || opens(disk, kNew)) << "neither password opens the disk after two cuts";
        const bool back = restoresFirstSaved(disk, store, original, scratch->str(), what);
        EXPECT_TRUE(back);
        EXPECT_TRUE(opens(disk, kOld)) << "the saved table's password";

        const RunResult further = change(disk, kOld, kThird);
        EXPECT_EQ(further.exitCode, 0) << further.output;
        ASSERT_TRUE(flashemu::replug(disk));
        const Truth after = deviceTruth(disk);
        EXPECT_TRUE(opens(disk, kThird));
        EXPECT_EQ(after.soundCopies, 2);

        table += "| " + what + " | " +
                 (r.exitCode == 0 ? "success" : "failure (exit " + std::to_string(r.exitCode) + ")") + " | " +
                 copiesText(t.soundCopies) + " | " + (oldOpens ? "yes" : "no") + " | " + (newOpens ? "yes" : "no") +
                 " | " + copiesText(t2.soundCopies) + " | " + (back ? "back, both copies" : "NOT BACK") + " | " +
                 (further.exitCode == 0 ? "succeeds" : "FAILS") + " | " + copiesText(after.soundCopies) + " |\n";
    }
    checkReportSection("password", table);
}

// Two cuts, each after the erase of the copy being rewritten, with a replug
// between: the first leaves one copy and nothing on the device says where the
// other lived. The table saved before the first change says it, so the second
// change writes that copy first and its cut takes only that copy again: the
// old password still opens the disk, and every program says what is left.
TEST_F(PasswordFaults, TwoCutsAfterAnEraseAreReportedTruthfully) {
    useStore(scratch->str("twice-store"));
    std::string table = "| cuts | copies after replug | old opens | new opens | quendal info | manager shows | "
                        "quendal format |\n|---|---|---|---|---|---|---|\n";
    const std::string disk = copyOfBase("twice");
    for (int cut = 1; cut <= 2; ++cut) {
        flashemu::Faults f;
        f.failKind = "info-table";
        f.failNth = 1;
        const RunResult r = cutOff(disk, f, [&] { return change(disk, kOld, kNew); });
        const Truth t = deviceTruth(disk);
        const RunResult info = quendal(disk, {"info"}, "", scratch->str());
        expectInfoTells(info, t, "cut " + std::to_string(cut));
        const std::string shown = managerShows(disk, t, scratch->str());
        const bool oldOpens = opens(disk, kOld), newOpens = opens(disk, kNew);
        // Formatting needs a table; without one the disk is refused as unknown.
        std::string formatted = "-";
        if (cut == 2) {
            const RunResult format = quendal(disk, {"format", "--yes", "--mode", "normal"}, "", scratch->str());
            ASSERT_FALSE(format.signaled) << format.output;
            if (!t.table) {
                EXPECT_EQ(format.exitCode, 4) << format.output;
            }
            formatted = "exit " + std::to_string(format.exitCode);
        }
        table += "| " + std::to_string(cut) + " | " + copiesText(t.soundCopies) + " | " + (oldOpens ? "yes" : "no") +
                 " | " + (newOpens ? "yes" : "no") + " | exit " + std::to_string(info.exitCode) + " | " +
                 (shown.empty() ? "(not built)" : shown) + " | " + formatted + " |\n";
    }
    checkReportSection("password-twice", table);
}

} // namespace
} // namespace faults
