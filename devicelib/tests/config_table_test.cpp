// The configuration table through the exports against the emulated flash disk:
// which copies the scan finds and what it costs, which damaged copies it skips,
// what UpdateParam takes over, the table store and the capacity queries.
#include <gtest/gtest.h>

#include <random>

#include "EmulatedDisk.h"

using namespace tabletest;

namespace {

uint16_t blockPage(const Sector &t) { return bo::getLE16(t.data() + 228); }

TEST(TableScan, FreshDiskPrimaryThenBackupStopsAtTheBackup) {
    EmulatedDisk disk; // copies at pages 8 and 40
    ASSERT_EQ(disk.open(), 0);
    disk.startLog();
    Sector t{};
    EXPECT_EQ(q().GetConfigTable(t.data()), 2);
    EXPECT_EQ(blockPage(t), 8u);
    EXPECT_EQ(q().HaveCfgTbl(), 1);
    const auto log = disk.log();
    // Device information, candidates 0..40, and the 8 information sectors of each copy.
    EXPECT_EQ(countOps(log, "ReadDisk", [](uint32_t a) { return a == 0x30000000u; }), 1u);
    EXPECT_EQ(countOps(log, "ReadDisk", isCandidateRead), 11u);
    EXPECT_EQ(countOps(log, "ReadDisk", isInfoRead), 16u);
    EXPECT_EQ(countOps(log, "ReadDisk"), 28u);
    EXPECT_EQ(log.back().address, (7u << 26) | 42u); // last read: sector 7 of the copy at 40
    EXPECT_EQ(countOps(log, "WriteDisk"), 0u);
}

TEST(TableScan, OnlyCopyAtTheLastCandidateCostsEveryCandidateOnce) {
    flashemu::DiskOptions o;
    o.primaryPage = 4092;
    o.backupPage = -1;
    EmulatedDisk disk(o);
    ASSERT_EQ(disk.open(), 0);
    disk.startLog();
    Sector t{};
    EXPECT_EQ(q().GetConfigTable(t.data()), 1);
    EXPECT_EQ(blockPage(t), 4092u);
    const auto log = disk.log();
    EXPECT_EQ(countOps(log, "ReadDisk"), 1u + 1024u + 8u);
    EXPECT_EQ(countOps(log, "ReadDisk", isCandidateRead), 1024u);
}

TEST(TableScan, SecondScanWithoutInitVariable) {
    {
        flashemu::DiskOptions o;
        o.backupPage = -1;
        EmulatedDisk disk(o);
        ASSERT_EQ(disk.open(), 0);
        Sector t{};
        ASSERT_EQ(q().GetConfigTable(t.data()), 1);
        // The primary's own page is taken for the backup.
        EXPECT_EQ(q().GetConfigTable(t.data()), 2);
    }
    {
        EmulatedDisk disk;
        ASSERT_EQ(disk.open(), 0);
        Sector t{};
        ASSERT_EQ(q().GetConfigTable(t.data()), 2);
        disk.startLog();
        EXPECT_EQ(q().GetConfigTable(t.data()), 0);
        EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_NO_TABLE);
        EXPECT_EQ(countOps(disk.log(), "ReadDisk", isCandidateRead), 1024u);
        // After a success the code stays.
        ASSERT_EQ(disk.loadTable(), 2);
        EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_NO_TABLE);
    }
}

// Each damaged primary is skipped: the scan loads the backup at 40 and reports one copy.
TEST(TableScan, DamagedCopiesAreSkipped) {
    struct Damage {
        const char *what;
        std::function<void(EmulatedDisk &)> apply;
    };
    const Damage damages[] = {
        {"bad XOR word",
         [](EmulatedDisk &d) {
             d.editTable(
                 8, [](uint8_t *t) { t[300] ^= 1; }, false);
         }},
        {"mark missing",
         [](EmulatedDisk &d) {
             Sector s = d.infoSector(10, 3); // sector 7 holds the mark at 4088
             bo::putLE32(s.data() + 504, 0);
             d.setInfoSector(10, 3, s);
         }},
        {"InfoSectors 4", [](EmulatedDisk &d) { d.editTable(8, [](uint8_t *t) { t[26] = 4; }); }},
        {"InfoSectors 201", [](EmulatedDisk &d) { d.editTable(8, [](uint8_t *t) { t[26] = 201; }); }},
        {"InfoSectors 16 without the second mark",
         [](EmulatedDisk &d) { d.editTable(8, [](uint8_t *t) { t[26] = 16; }); }},
        {"version text", [](EmulatedDisk &d) { d.editTable(8, [](uint8_t *t) { t[207] = '1'; }); }},
        {"signature", [](EmulatedDisk &d) { d.editTable(8, [](uint8_t *t) { t[3] = 0x5B; }); }},
    };
    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.what);
        EmulatedDisk disk;
        damage.apply(disk);
        ASSERT_EQ(disk.open(), 0);
        Sector t{};
        EXPECT_EQ(disk.loadTable(&t), 1);
        EXPECT_EQ(blockPage(t), 40u);
    }
}

TEST(TableScan, SixteenInformationSectorsNeedBothMarks) {
    flashemu::DiskOptions o;
    o.infoSectors = 16;
    o.pageSectorsRaw = 16; // 8 sectors a page: table page and two pages fit one block
    EmulatedDisk disk(o);
    ASSERT_EQ(disk.open(), 0);
    EXPECT_EQ(disk.loadTable(), 2);

    Sector s = disk.infoSector(8 + 2, 3); // sector 15: slot 15 mod 8 AND 3
    bo::putLE32(s.data() + 504, 0x12345678);
    disk.setInfoSector(8 + 2, 3, s);
    Sector t{};
    EXPECT_EQ(disk.loadTable(&t), 1);
    EXPECT_EQ(blockPage(t), 40u);
}

TEST(TableScan, MakerTableSealAndSize) {
    flashemu::DiskOptions o;
    o.table = flashemu::TableKind::Maker;
    {
        EmulatedDisk disk(o);
        ASSERT_EQ(disk.open(), 0);
        Sector t{};
        EXPECT_EQ(disk.loadTable(&t), 2);
        EXPECT_EQ(std::memcmp(t.data() + 503, "Morvantek", 9), 0);
        EXPECT_EQ(q().UpdateParam(), 1);
    }
    {
        EmulatedDisk disk(o);
        // A changed byte anywhere in the run breaks the seal.
        Sector s = disk.infoSector(9, 2);
        s[100] ^= 0x40;
        disk.setInfoSector(9, 2, s);
        // InfoSectors 17 is refused before any information sector is read.
        Sector t = disk.infoSector(40, 0);
        t[16] = 17;
        disk.setInfoSector(40, 0, t);
        ASSERT_EQ(disk.open(), 0);
        disk.startLog();
        EXPECT_EQ(disk.loadTable(), 0);
        EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_NO_TABLE);
        EXPECT_EQ(q().HaveCfgTbl(), 0);
        const auto log = disk.log();
        for (const auto &e : log)
            if (isInfoRead(e.address)) {
                EXPECT_LT(e.address & 0xFFFFu, 40u) << std::hex << e.address;
            }
    }
}

TEST(TableScan, RandomInformationAreaFindsNothing) {
    flashemu::DiskOptions o;
    o.backupPage = -1;
    EmulatedDisk disk(o);
    std::mt19937 rng(20261208);
    auto fill = [&](Sector &s) {
        for (auto &b : s) b = uint8_t(rng());
    };
    for (uint32_t page = 0; page < 4096; ++page) {
        for (uint32_t slot = 0; slot < 4; ++slot) {
            Sector s;
            fill(s);
            if (slot == 0 && page % 4 == 0 && page % 8 == 0) {
                // Half of the candidates look like tables, so every check runs on junk.
                bo::putLE32(s.data(), 0x5A5A5A5Au);
                if (page % 16 == 0) {
                    std::memcpy(s.data() + 503, "Morvantek", 9);
                } else {
                    std::memcpy(s.data() + 204, "2.00", 4);
                    if (page % 32 == 8) s[272] |= 0x10;
                    sealTable(s.data());
                }
            }
            disk.setInfoSector(page, slot, s);
        }
    }
    ASSERT_EQ(disk.open(), 0);
    Sector t{};
    t.fill(0xEE);
    q().InitVariable();
    EXPECT_EQ(q().GetConfigTable(t.data()), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_NO_TABLE);
    EXPECT_EQ(q().HaveCfgTbl(), 0);
    for (uint8_t b : t) ASSERT_EQ(b, 0xEE);
}

TEST(TableScan, Refusals) {
    EmulatedDisk disk;
    ASSERT_EQ(disk.open(), 0);
    EXPECT_EQ(q().GetConfigTable(nullptr), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_NULL_BUFFER);

    // File-login mode stays set for the life of the process: try it in a child.
    flashemu::Faults f;
    f.refuseRawAccess = true;
    disk.setFaults(f);
    const int status = inChild([&] {
        if (disk.open() != 2) return 1;
        disk.startLog();
        Sector t{};
        if (q().GetConfigTable(t.data()) != 0) return 2;
        if (q().GetErrorCode() != QUENDAL_ERR_FILE_LOGIN_MODE) return 3;
        if (!disk.log().empty()) return 4;
        return 0;
    });
    EXPECT_EQ(status, 0);
    disk.clearFaults();

    // A failed device information read ends the scan with code 9.
    ASSERT_EQ(disk.open(), 0);
    f = {};
    f.failReadKind = "device-info";
    f.failReadNth = 1;
    disk.setFaults(f);
    disk.startLog();
    Sector t{};
    EXPECT_EQ(disk.loadTable(&t), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_DEVICE_INFO);
    EXPECT_EQ(countOps(disk.log(), "ReadDisk"), 1u);
}

TEST(Capacity, KnownPrimaryCostsOneRead) {
    flashemu::DiskOptions o;
    o.sectors = 1'234'567;
    EmulatedDisk disk(o);
    ASSERT_EQ(disk.open(), 0);
    ASSERT_EQ(disk.loadTable(), 2);
    disk.startLog();
    EXPECT_EQ(q().GetDiskCapacity(), 1'234'567);
    const auto log = disk.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].address, 0x10000008u);
    EXPECT_EQ(q().GetDiskSize(), 1'234'567);

    // Without a known primary a full scan runs, and the areas of the table are summed.
    disk.editTable(8, [](uint8_t *t) {
        bo::putLE32(t + 236, 1000);
        bo::putLE32(t + 240, 2000);
        bo::putLE32(t + 244, 3000);
    });
    q().DiskRemove();
    EXPECT_EQ(q().GetDiskSize(), 0);
    ASSERT_EQ(disk.open(), 0);
    disk.startLog();
    EXPECT_EQ(q().GetDiskCapacity(), 6000);
    EXPECT_EQ(countOps(disk.log(), "ReadDisk", isCandidateRead), 11u);
    EXPECT_EQ(q().HaveCfgTbl(), 1);
    EXPECT_EQ(q().GetDiskSize(), 6000);
}

TEST(SendCfgTable, StoresTheBytesUnchanged) {
    EmulatedDisk disk;
    ASSERT_EQ(disk.open(), 0);
    Sector t{};
    ASSERT_EQ(disk.loadTable(&t), 2);
    t[4] ^= 0xFF; // no seal is added: a broken check word goes out as it is
    disk.startLog();
    EXPECT_EQ(q().SendCfgTable(t.data()), 1);
    auto log = disk.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].address, 0x22000000u);
    EXPECT_TRUE(std::equal(t.begin(), t.end(), log[0].data.begin()));

    EXPECT_EQ(q().SendCfgTable(nullptr), 0);
    disk.failWrite("store-table", 1);
    EXPECT_EQ(q().SendCfgTable(t.data()), 0);
}

} // namespace
