// The password through the exports against the emulated flash disk: the digest
// check, the login record, the password change into both information blocks,
// and what a write cut off in the middle of the change leaves behind.
#include <gtest/gtest.h>

#include "EmulatedDisk.h"

using namespace tabletest;

namespace {

class Password : public ::testing::Test {
protected:
    void SetUp() override { prepare(disk_); }
    static void prepare(EmulatedDisk &disk) {
        disk.plantPassword(kOldPassword);
        ASSERT_EQ(disk.open(), 0);
        ASSERT_EQ(disk.loadTable(), 2);
    }
    // Makes LastError a known value that nothing below raises.
    static void markError() {
        q().GetConfigTable(nullptr);
        ASSERT_EQ(q().GetErrorCode(), QUENDAL_ERR_NULL_BUFFER);
    }
    EmulatedDisk disk_;
};

// What a sound copy at page holds: its own page, the digest, the seals.
void expectSoundCopy(const EmulatedDisk &disk, uint32_t page, const std::array<uint8_t, 16> &digest) {
    SCOPED_TRACE("copy at page " + std::to_string(page));
    const Sector t = disk.infoSector(page, 0);
    EXPECT_EQ(bo::getLE16(t.data() + 228), page);
    EXPECT_EQ(xorWords(t.data(), 128), 0u);
    EXPECT_EQ(std::memcmp(t.data() + 208, digest.data(), 16), 0);
    std::vector<uint8_t> info;
    for (uint32_t i = 0; i < 8; ++i) {
        const Sector s = disk.infoSector(page + 1 + i / 4, i % 4);
        info.insert(info.end(), s.begin(), s.end());
    }
    EXPECT_EQ(bo::getLE32(info.data() + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(xorWords(info.data(), 1024), 0u);
}

TEST_F(Password, DigestMustMatchExactly) {
    EXPECT_EQ(q().VerifyPassword(kOldPassword.text, 0), 1);
    for (const char *wrong : {"open sesame", "Open Sesame ", "", "Open Sesam"}) {
        markError();
        EXPECT_EQ(q().VerifyPassword(wrong, 0), 0) << '"' << wrong << '"';
        EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_WRONG_PASSWORD);
    }
    EXPECT_EQ(q().VerifyPassword(nullptr, 0), 0);
}

TEST_F(Password, LoginSendsOneRecordWithTheDigest) {
    disk_.startLog();
    EXPECT_EQ(q().VerifyPassword("open sesame", 1), 0);
    EXPECT_TRUE(disk_.log().empty());
    EXPECT_FALSE(flashemu::loggedIn(disk_.dir()));

    EXPECT_EQ(q().VerifyPassword(kOldPassword.text, 1), 1);
    const auto log = disk_.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].op, "WriteDisk");
    EXPECT_EQ(log[0].address, 0x60000000u);
    ASSERT_EQ(log[0].data.size(), 512u);
    const auto d = digestOf(kOldPassword);
    EXPECT_TRUE(std::equal(d.begin(), d.end(), log[0].data.begin() + 16));
    for (size_t i = 0; i < 512; ++i)
        if (i < 16 || i >= 32) {
            ASSERT_EQ(log[0].data[i], 0) << i;
        }
    EXPECT_TRUE(flashemu::loggedIn(disk_.dir()));

    // A login the device does not take is a failure without a code.
    disk_.failWrite("login", 1);
    markError();
    EXPECT_EQ(q().VerifyPassword(kOldPassword.text, 1), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_NULL_BUFFER);
}

TEST_F(Password, ChangeCountsAfterTheTableIsReadAgainAndSurvivesAReplug) {
    disk_.startLog();
    EXPECT_EQ(q().ChangePassword("open sesame", kNewPassword.text), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_WRONG_PASSWORD);
    EXPECT_TRUE(disk_.log().empty());

    const Sector before = disk_.infoSector(8, 0);
    ASSERT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 1);
    EXPECT_EQ(countOps(disk_.log(), "WriteDisk"), 2u * (1u + 1u + 8u));
    // Before it writes, it reads again what it replaces: the identity block and
    // both copies, which must still be what the scan read.
    EXPECT_EQ(countOps(disk_.log(), "ReadDisk"), 1u + 2u * (1u + 8u));
    const Sector after = disk_.infoSector(8, 0);
    for (size_t i = 8; i < 512; ++i)
        if (i < 208 || i >= 224) {
            ASSERT_EQ(after[i], before[i]) << i;
        }

    // The loaded digest is still the old one.
    EXPECT_EQ(q().VerifyPassword(kNewPassword.text, 0), 0);
    EXPECT_EQ(q().VerifyPassword(kOldPassword.text, 0), 1);

    EXPECT_EQ(disk_.loadTable(), 2);
    EXPECT_EQ(q().VerifyPassword(kNewPassword.text, 0), 1);
    EXPECT_EQ(q().VerifyPassword(kOldPassword.text, 0), 0);
    expectSoundCopy(disk_, 8, digestOf(kNewPassword));
    expectSoundCopy(disk_, 40, digestOf(kNewPassword));

    q().FreeFlashDisk();
    q().DiskRemove();
    ASSERT_EQ(disk_.open(), 0);
    ASSERT_EQ(disk_.loadTable(), 2);
    EXPECT_EQ(q().VerifyPassword(kNewPassword.text, 1), 1);
    EXPECT_TRUE(flashemu::loggedIn(disk_.dir()));
}

// Every write of the primary block fails in turn. The backup is untouched, the
// stored password still opens the disk, and the next change restores both copies.
TEST(PasswordReliability, AFailedPrimaryWriteLosesNothing) {
    for (uint32_t nth = 1; nth <= 10; ++nth) {
        SCOPED_TRACE("write " + std::to_string(nth) + " of the primary fails");
        EmulatedDisk disk;
        disk.plantPassword(kOldPassword);
        ASSERT_EQ(disk.open(), 0);
        ASSERT_EQ(disk.loadTable(), 2);
        const Sector backup = disk.infoSector(40, 0);
        disk.startLog();
        disk.failWrite("any", nth);
        EXPECT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 0);
        const auto log = writesIn(disk.log());
        EXPECT_EQ(log.size(), nth);
        for (const auto &e : log) {
            EXPECT_NE(e.address & 0xFFFFu, 40u);
            if (e.address == 0x40000000u) {
                EXPECT_EQ(bo::getLE32(e.data.data() + 4), 8u);
            }
        }
        EXPECT_EQ(disk.infoSector(40, 0), backup);
        disk.clearFaults();

        // Read again as after a replug: the old password still holds.
        q().FreeFlashDisk();
        ASSERT_EQ(disk.open(), 0);
        Sector t{};
        const int32_t found = disk.loadTable(&t);
        ASSERT_GE(found, 1);
        // Only a failed prepare leaves the primary as it was.
        EXPECT_EQ(bo::getLE16(t.data() + 228), nth == 1 ? 8u : 40u);
        EXPECT_EQ(q().VerifyPassword(kOldPassword.text, 0), 1);

        // The primary, found again by its cut-off table sector or, erased before that
        // arrived, by the failed write remembered, is restored first.
        disk.startLog();
        ASSERT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 1);
        const auto rewrite = writesIn(disk.log());
        ASSERT_EQ(rewrite.size(), 20u);
        EXPECT_EQ(rewrite[1].address, 0x20800000u | 8u);
        EXPECT_EQ(rewrite[11].address, 0x20800000u | 40u);
        EXPECT_EQ(disk.loadTable(), 2);
        EXPECT_EQ(q().VerifyPassword(kNewPassword.text, 0), 1);
        expectSoundCopy(disk, 40, digestOf(kNewPassword));
        expectSoundCopy(disk, 8, digestOf(kNewPassword));
    }
}

TEST(PasswordReliability, AFailedBackupWriteKeepsTheNewPrimary) {
    EmulatedDisk disk;
    disk.plantPassword(kOldPassword);
    ASSERT_EQ(disk.open(), 0);
    ASSERT_EQ(disk.loadTable(), 2);
    disk.failWrite("any", 10 + 4); // the backup's third information sector
    EXPECT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 0);
    disk.clearFaults();

    Sector t{};
    ASSERT_EQ(disk.loadTable(&t), 1);
    EXPECT_EQ(bo::getLE16(t.data() + 228), 8u);
    EXPECT_EQ(q().VerifyPassword(kNewPassword.text, 0), 1);
    // The cut-off backup is restored before the sound primary is touched.
    disk.startLog();
    ASSERT_EQ(q().ChangePassword(kNewPassword.text, kOldPassword.text), 1);
    const auto log = writesIn(disk.log());
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1].address, 0x20800000u | 40u);
    EXPECT_EQ(disk.loadTable(), 2);
    EXPECT_EQ(q().VerifyPassword(kOldPassword.text, 0), 1);
    expectSoundCopy(disk, 8, digestOf(kOldPassword));
    expectSoundCopy(disk, 40, digestOf(kOldPassword));
}

// In one process, a change cut off right after the erase of one disk's first
// copy is not remembered for the next disk: a disk whose only copy lies at the
// page that was the first disk's backup gets no copy where the first disk lost
// one. Where its second copy belongs is unknown, so its table is not touched.
TEST(PasswordReliability, NothingOfAFailedChangeOutlivesTheDisk) {
    {
        EmulatedDisk first;
        first.plantPassword(kOldPassword);
        ASSERT_EQ(first.open(), 0);
        ASSERT_EQ(first.loadTable(), 2);
        first.failWrite("info-table", 1);
        EXPECT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 0);
        EXPECT_EQ(first.infoSector(8, 0), erasedSector());
    } // unplugged: DiskRemove
    flashemu::DiskOptions o;
    o.sectors = 30000;
    o.primaryPage = 40;
    o.backupPage = -1;
    EmulatedDisk second(o);
    second.plantPassword(kOldPassword);
    ASSERT_EQ(second.open(), 0);
    ASSERT_EQ(second.loadTable(), 1);
    second.startLog();
    EXPECT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_LAST_COPY);
    EXPECT_TRUE(writesIn(second.log()).empty());
    EXPECT_EQ(second.infoSector(8, 0), erasedSector());
}

// Another program rewrites the table between this one's scan and its change
// (here, behind the library's back, a new layout in the backup copy): the
// change is refused before anything is written, rather than put the stale
// table back over the new one.
TEST_F(Password, ATableChangedSinceTheScanIsNotOverwritten) {
    disk_.editTable(40, [](uint8_t *t) { t[234] = 5; });
    disk_.startLog();
    EXPECT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_TABLE_CHANGED);
    EXPECT_TRUE(writesIn(disk_.log()).empty());
    EXPECT_EQ(disk_.infoSector(40, 0)[234], 5);
}

// Sixteen information sectors run one page past a four-page block.
TEST(PasswordSixteenSectors, ChangeErasesEveryPageItWrites) {
    flashemu::DiskOptions o;
    o.infoSectors = 16;
    EmulatedDisk disk(o);
    disk.plantPassword(kOldPassword);
    ASSERT_EQ(disk.open(), 0);
    ASSERT_EQ(disk.loadTable(), 2);
    ASSERT_EQ(q().ChangePassword(kOldPassword.text, kNewPassword.text), 1);
    ASSERT_EQ(disk.loadTable(), 2);
    EXPECT_EQ(q().VerifyPassword(kNewPassword.text, 0), 1);
    for (uint32_t page : {8u, 40u}) {
        const Sector last = disk.infoSector(page + 4, 3); // sector 15: the second mark
        EXPECT_EQ(bo::getLE32(last.data() + 504), 0xA5A5A5A5u);
    }
}

TEST(PasswordUnset, NothingOpensAFactoryTable) {
    EmulatedDisk disk;
    ASSERT_EQ(disk.open(), 0);
    ASSERT_EQ(disk.loadTable(), 2);
    for (const char *p : {"", kOldPassword.text}) {
        EXPECT_EQ(q().VerifyPassword(p, 0), 0);
        EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_WRONG_PASSWORD);
    }
}

TEST(PasswordFileLogin, NothingIsComparedAndAMissingVolumeIsCode16) {
    EmulatedDisk disk;
    disk.plantPassword(kOldPassword);
    flashemu::Faults f;
    f.refuseRawAccess = true;
    disk.setFaults(f);
    // File-login mode lasts for the life of the process.
    const int status = inChild([&] {
        if (disk.open() != 2) return 1;
        q().GetConfigTable(nullptr); // LastError 7
        if (q().VerifyPassword(kOldPassword.text, 0) != 0) return 2;
        if (q().VerifyPassword("anything", 0) != 0) return 3;
        if (q().GetErrorCode() != QUENDAL_ERR_NULL_BUFFER) return 4;
        // A factory disk shows no volume of the login size.
        if (q().VerifyPassword(kOldPassword.text, 1) != 0) return 5;
        if (q().GetErrorCode() != QUENDAL_ERR_NO_LOGIN_VOLUME) return 6;
        if (q().ChangePassword(kOldPassword.text, kNewPassword.text) != 0) return 7;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
