// The disk check's judgement against disks in memory that misbehave in ways
// the emulated disk does not: a counterfeit that drops what is written past
// its flash, a few sectors that lose their data, a disk that goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "DiskCheck.h"

namespace {

using cli::CheckResult;

struct MemoryDisk : cli::CheckedDisk {
    explicit MemoryDisk(uint32_t sectors) : data(size_t(sectors) * 512) {}
    std::vector<uint8_t> data;
    uint32_t keeps = UINT32_MAX;    // writes at or past it are dropped; reads there give zeros
    std::vector<uint32_t> forgets;  // sectors that read back zeros
    uint32_t goneFrom = UINT32_MAX; // from this sector on the device answers nothing
    bool read(uint32_t first, uint32_t count, uint8_t *out) override {
        if (first + count > goneFrom) return false;
        std::memcpy(out, data.data() + size_t(first) * 512, size_t(count) * 512);
        for (uint32_t i = 0; i < count; ++i)
            if (first + i >= keeps || std::count(forgets.begin(), forgets.end(), first + i))
                std::memset(out + size_t(i) * 512, 0, 512);
        return true;
    }
    bool write(uint32_t first, uint32_t count, const uint8_t *in) override {
        if (first + count > goneFrom) return false;
        std::memcpy(data.data() + size_t(first) * 512, in, size_t(count) * 512);
        return true;
    }
    bool answers() override { return goneFrom == UINT32_MAX; }
};

CheckResult check(MemoryDisk &disk, bool destructive = true) {
    return cli::runCheck(disk, uint32_t(disk.data.size() / 512), destructive, 0x1234'5678'9ABC'DEF0ull, {});
}

} // namespace

TEST(DiskCheck, AFlashThatDropsWritesPastItsEndIsFakeCapacity) {
    MemoryDisk disk(20000);
    disk.keeps = 12000;
    CheckResult r = check(disk);
    ASSERT_TRUE(r.finished);
    ASSERT_TRUE(r.realSectors.has_value());
    EXPECT_EQ(*r.realSectors, 12000u);
    EXPECT_TRUE(r.bad.empty()) << "sectors past the flash are not counted as bad";

    // Reading alone cannot tell: nothing fails.
    CheckResult readOnly = check(disk, false);
    EXPECT_FALSE(readOnly.realSectors.has_value());
}

TEST(DiskCheck, AFewSectorsThatLoseTheirDataAreBadSectorsEvenAtTheEnd) {
    MemoryDisk disk(20000);
    disk.forgets = {7, 8, 19990, 19991, 19992, 19993, 19994, 19995, 19996, 19997, 19998, 19999};
    CheckResult r = check(disk);
    ASSERT_TRUE(r.finished);
    EXPECT_FALSE(r.realSectors.has_value()) << "ten sectors at the end are no missing flash";
    ASSERT_EQ(r.bad.size(), 2u);
    EXPECT_EQ(r.bad[0].first, 7u);
    EXPECT_EQ(r.bad[0].count, 2u);
    EXPECT_EQ(r.bad[1].first, 19990u);
    EXPECT_EQ(r.bad[1].count, 10u);
    EXPECT_EQ(r.bad[1].flaw, cli::Flaw::Lost);
}

TEST(DiskCheck, ADiskThatStopsAnsweringIsNotTakenForBadSectors) {
    MemoryDisk disk(20000);
    disk.goneFrom = 5120;
    CheckResult r = check(disk);
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(r.stoppedAt, 5120u);
    EXPECT_EQ(r.write.sectors, 5120u);
    EXPECT_FALSE(r.read.ran);
}

TEST(DiskCheck, ACheckCutOffStopsAfterTheCommandUnderWay) {
    MemoryDisk disk(20000);
    std::vector<uint8_t> before = disk.data;
    CheckResult r =
        cli::runCheck(disk, 20000, true, 1, [](const char *, uint64_t done, uint64_t) { return done < 640; });
    EXPECT_FALSE(r.finished);
    EXPECT_TRUE(r.cutOff);
    EXPECT_EQ(r.stoppedAt, 640u);
    EXPECT_EQ(r.write.sectors, 640u) << "nothing written past the command under way";
    EXPECT_TRUE(std::equal(disk.data.begin() + 640 * 512, disk.data.end(), before.begin() + 640 * 512));
    EXPECT_FALSE(r.read.ran);
}
