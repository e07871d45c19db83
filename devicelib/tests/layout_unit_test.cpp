// Area placement, BootLayout, the partition table sector, the table and
// information seals, and the layout fields that CreateNewCfgtblV2 fills.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "Internal.h"
#include "LibraryState.h"
#include "QuendalLib.h"
#include "table_layout.h"

namespace {

using namespace quendal;

FormatSettings settings(uint32_t s0, uint32_t s1, uint32_t s2, uint32_t count, uint8_t mode = 0) {
    FormatSettings s{};
    s.areaSize[0] = s0;
    s.areaSize[1] = s1;
    s.areaSize[2] = s2;
    s.areaCount = count;
    s.mode = mode;
    return s;
}

uint32_t xorOfWords(const uint8_t *p, size_t words) {
    uint32_t x = 0;
    for (size_t i = 0; i < words; ++i) x ^= bo::getLE32(p + 4 * i);
    return x;
}

TEST(AreaPlacement, ZeroSizeTakesTheLastAreasSizeAndShiftsTheNextStart) {
    const FormatSettings s = settings(5000, 0, 7000, 3);
    EXPECT_EQ(areaSize(s, 0), 5000u);
    EXPECT_EQ(areaSize(s, 1), 7000u);
    EXPECT_EQ(areaSize(s, 2), 7000u);
    EXPECT_EQ(areaStart(s, 0), 0u);
    EXPECT_EQ(areaStart(s, 1), 5000u);
    EXPECT_EQ(areaStart(s, 2), 12000u);
}

TEST(AreaPlacement, ThousandSectorFloor) {
    EXPECT_TRUE(areaSizesUsable(settings(1000, 0, 0, 1)));
    EXPECT_FALSE(areaSizesUsable(settings(999, 0, 0, 1)));
    EXPECT_TRUE(areaSizesUsable(settings(2000, 0, 1000, 2)));   // area 1 takes 1000
    EXPECT_FALSE(areaSizesUsable(settings(2000, 0, 999, 2)));
    EXPECT_FALSE(areaSizesUsable(settings(0, 5000, 0, 1)));     // nothing to substitute
    EXPECT_FALSE(areaSizesUsable(settings(5000, 5000, 5000, 0)));
    EXPECT_FALSE(areaSizesUsable(settings(5000, 5000, 5000, 4)));
}

TEST(BootLayout, FromModeThenOverriddenBySize) {
    const int expected[] = {0, 0, 2, 1, 3, -1};
    for (uint8_t m = 0; m < 6; ++m) EXPECT_EQ(bootLayoutForMode(m), expected[m]) << int(m);

    EXPECT_EQ(bootLayoutForArea(bootLayoutForMode(2), 4199), 0);   // too small for a partition
    EXPECT_EQ(bootLayoutForArea(bootLayoutForMode(2), 4200), 2);
    EXPECT_EQ(bootLayoutForArea(bootLayoutForMode(3), 4200), 1);
    EXPECT_EQ(bootLayoutForArea(bootLayoutForMode(0), 4'096'000), 0);
    EXPECT_EQ(bootLayoutForArea(bootLayoutForMode(0), 4'096'001), 2);   // FAT32 always at 63
    EXPECT_EQ(bootLayoutForArea(bootLayoutForMode(4), 4'096'001), 2);

    EXPECT_EQ(volumeStartForLayout(0), 0u);
    EXPECT_EQ(volumeStartForLayout(1), 32u);
    EXPECT_EQ(volumeStartForLayout(2), 63u);
    EXPECT_EQ(volumeStartForLayout(3), 32u);
}

// The sector is read back by sfdisk, which no one here wrote.
std::string sfdiskDump(const uint8_t *sector, uint32_t areaSectors) {
    testsupport::TempDir dir;
    const std::string image = dir.str() + "/area.img";
    {
        std::ofstream f(image, std::ios::binary);
        f.write(reinterpret_cast<const char *>(sector), 512);
    }
    std::filesystem::resize_file(image, uint64_t(areaSectors) * 512);
    std::string out;
    FILE *p = popen(("sfdisk --dump " + image + " 2>&1").c_str(), "r");
    if (!p) return out;
    char line[512];
    while (fgets(line, sizeof line, p)) out += line;
    pclose(p);
    std::erase(out, ' ');   // sfdisk pads its columns
    return out;
}

TEST(PartitionTableSector, OneActiveEntryAsReadBySfdisk) {
    uint8_t sector[512];
    ASSERT_TRUE(buildPartitionTableSector(sector, 2, 4200, false));
    EXPECT_EQ(sector[0x1FE], 0x55);
    EXPECT_EQ(sector[0x1FF], 0xAA);
    EXPECT_EQ(sector[0x1BE], 0x80);
    EXPECT_EQ(sector[0x1BF], 0x01);
    EXPECT_EQ(sector[0x1C0], 0x01);
    EXPECT_EQ(sector[0x1C1], 0x00);
    EXPECT_EQ(sector[0x1C3], 0xFE);
    EXPECT_EQ(sector[0x1C4], 0xFF);
    EXPECT_EQ(sector[0x1C5], 0xFF);
    for (size_t i = 0x1CE; i < 0x1FE; ++i) ASSERT_EQ(sector[i], 0) << i;
    std::string dump = sfdiskDump(sector, 4200);
    EXPECT_NE(dump.find("start=63,size=4137,type=6,bootable"), std::string::npos) << dump;

    ASSERT_TRUE(buildPartitionTableSector(sector, 2, 4'096'001, true));
    dump = sfdiskDump(sector, 4'096'001);
    EXPECT_NE(dump.find("start=63,size=4095938,type=b,bootable"), std::string::npos) << dump;

    ASSERT_TRUE(buildPartitionTableSector(sector, 3, 10000, false));
    dump = sfdiskDump(sector, 10000);
    EXPECT_NE(dump.find("start=32,size=9968,type=6,bootable"), std::string::npos) << dump;

    uint8_t untouched[512];
    std::memset(untouched, 0xEE, sizeof untouched);
    EXPECT_FALSE(buildPartitionTableSector(untouched, 0, 10000, false));
    EXPECT_EQ(untouched[0x1BE], 0xEE);
}

TEST(Seals, TableCheckWordMakesTheSectorXorToZero) {
    std::mt19937 rng(7);
    uint8_t table[512];
    for (auto &b : table) b = uint8_t(rng());
    uint8_t before[512];
    std::memcpy(before, table, 512);
    SealConfigTable(table);
    EXPECT_EQ(xorOfWords(table, 128), 0u);
    EXPECT_EQ(std::memcmp(table, before, 4), 0);
    EXPECT_EQ(std::memcmp(table + 8, before + 8, 504), 0);
}

TEST(Seals, InfoHalvesGetMarkAndCheckWord) {
    std::mt19937 rng(11);
    std::vector<uint8_t> buf(3 * 4096);
    for (auto &b : buf) b = uint8_t(rng());
    const std::vector<uint8_t> before = buf;

    SealInfoBuffer(buf.data(), 8);
    EXPECT_EQ(bo::getLE32(buf.data() + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(xorOfWords(buf.data(), 1024), 0u);   // words 0..1022 XOR the check word
    EXPECT_TRUE(std::equal(buf.begin() + 4096, buf.end(), before.begin() + 4096));   // one half only

    SealInfoBuffer(buf.data(), 16);
    EXPECT_EQ(bo::getLE32(buf.data() + 4096 + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(xorOfWords(buf.data() + 4096, 1024), 0u);
    EXPECT_TRUE(std::equal(buf.begin() + 8192, buf.end(), before.begin() + 8192));
}

class NewTable : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = state();
        state().TransportReady = true;
        state().DiskCapacity = 1'000'000;
        std::mt19937 rng(3);
        for (auto &b : table_) b = uint8_t(rng());
    }
    void TearDown() override { state() = saved_; }
    uint32_t word(size_t off) const { return bo::getLE32(table_ + off); }
    LibraryState saved_;
    uint8_t table_[512];
};

TEST_F(NewTable, LayoutKindByVariantModeAndAreaCount) {
    struct Case { uint8_t variant, mode; uint32_t areas; uint8_t kind; };
    const Case cases[] = {
        {1, 1, 2, 5}, {1, 1, 1, 1}, {1, 1, 3, 1}, {1, 0, 1, 3}, {1, 2, 2, 3}, {1, 5, 3, 3},
        {0, 1, 2, 5}, {0, 1, 1, 2}, {0, 1, 3, 2}, {0, 0, 1, 0}, {0, 3, 2, 4}, {0, 5, 3, 4},
    };
    for (const Case &c : cases) {
        table_[cfgtbl::kVariantFlag] = c.variant;
        const FormatSettings s = settings(200'000, 300'000, 100'000, c.areas, c.mode);
        ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
        EXPECT_EQ(table_[cfgtbl::kLayoutKind], c.kind)
            << "variant " << int(c.variant) << " mode " << int(c.mode) << " areas " << c.areas;
    }
}

TEST_F(NewTable, AreaFieldsByAreaCountAndMode) {
    FormatSettings s = settings(200'000, 300'000, 0, 2, 0);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(word(236), 200'000u);
    EXPECT_EQ(word(240), 0u);
    EXPECT_EQ(word(244), 800'000u);
    EXPECT_EQ(word(248), 0u);
    EXPECT_EQ(word(252), 200'000u);

    s = settings(200'000, 0, 0, 2, 1);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(word(236), 200'000u);
    EXPECT_EQ(word(240), 800'000u);
    EXPECT_EQ(word(244), 0u);
    EXPECT_EQ(word(248), 200'000u);
    EXPECT_EQ(word(252), 0u);

    s = settings(200'000, 300'000, 7, 3, 0);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(word(236), 200'000u);
    EXPECT_EQ(word(240), 300'000u);
    EXPECT_EQ(word(244), 500'000u);
    EXPECT_EQ(word(248), 200'000u);
    EXPECT_EQ(word(252), 500'000u);

    s = settings(5, 6, 7, 1, 0);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(word(236), 1'000'000u);
    EXPECT_EQ(word(240), 0u);
    EXPECT_EQ(word(244), 0u);
    EXPECT_EQ(word(248), 0u);
    EXPECT_EQ(word(252), 0u);

    // Any other area count leaves the area fields as they were.
    uint8_t before[512];
    std::memcpy(before, table_, 512);
    s = settings(5, 6, 7, 4, 0);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(std::memcmp(table_ + 236, before + 236, 20), 0);
}

TEST_F(NewTable, ZeroSizeIsSubstitutedAsTheAreasWereWritten) {
    const FormatSettings s = settings(100'000, 0, 250'000, 3, 0);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(word(240), 250'000u);
    EXPECT_EQ(word(244), 650'000u);
    EXPECT_EQ(word(252), 350'000u);
}

TEST_F(NewTable, AreasPastTheDiskAreRefusedAndTheTableKept) {
    uint8_t before[512];
    std::memcpy(before, table_, 512);
    FormatSettings s = settings(1'000'001, 0, 0, 2, 0);
    EXPECT_EQ(CreateNewCfgtblV2(table_, &s), 0);
    s = settings(600'000, 400'001, 0, 3, 1);
    EXPECT_EQ(CreateNewCfgtblV2(table_, &s), 0);
    EXPECT_EQ(std::memcmp(table_, before, 512), 0);
    EXPECT_EQ(CreateNewCfgtblV2(table_, nullptr), 0);
    s = settings(600'000, 400'000, 0, 3, 1);   // exactly the disk
    EXPECT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(word(244), 0u);
}

TEST_F(NewTable, DigestRemovableAndCdromFlags) {
    FormatSettings s = settings(200'000, 0, 0, 2, 1);
    std::strcpy(s.password, "Open Sesame");
    table_[cfgtbl::kFlags232] = 0xFF;
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    const Digest d = loginDigest("Open Sesame");
    EXPECT_EQ(std::memcmp(table_ + 208, d.data(), 16), 0);
    EXPECT_EQ(table_[233], 0x80);
    EXPECT_EQ(table_[232], 0xFD);   // CD-ROM bit cleared, the others kept

    s.mode = 2;   // HDD boot: fixed disk, no password kept
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    for (int i = 208; i < 224; ++i) EXPECT_EQ(table_[i], 0) << i;
    EXPECT_EQ(table_[233], 0x00);

    s.mode = 5;
    table_[cfgtbl::kFlags232] = 0x20;
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(table_[232], 0x22);
    EXPECT_EQ(table_[233], 0x80);

    // A password that fills its field without a NUL is digested over the 61 bytes.
    s.mode = 1;
    std::memset(s.password, 'x', sizeof s.password);
    s.areaCount = 2;
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    const std::string x61(61, 'x');
    const Digest dx = md5(x61.data(), x61.size());
    EXPECT_EQ(std::memcmp(table_ + 208, dx.data(), 16), 0);
}

TEST_F(NewTable, RefusedWhileTransportNotReady) {
    state().TransportReady = false;
    uint8_t before[512];
    std::memcpy(before, table_, 512);
    const FormatSettings s = settings(200'000, 0, 0, 2, 1);
    EXPECT_EQ(CreateNewCfgtblV2(table_, &s), 0);
    EXPECT_EQ(std::memcmp(table_, before, 512), 0);
}

} // namespace
