// Area placement, BootLayout, the partition table sector (read back by
// sfdisk), the table and information seals, and the layout fields that
// CreateNewCfgtblV2 fills.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "Internal.h"
#include "LibraryState.h"
#include "FatTools.h"
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

TEST(AreaPlacement, SubstitutedSizesStartsAndTheFloor) {
    const FormatSettings s = settings(5000, 0, 7000, 3);
    EXPECT_EQ(areaSize(s, 1), 7000u);
    EXPECT_EQ(areaStart(s, 1), 5000u);
    EXPECT_EQ(areaStart(s, 2), 12000u); // follows the substituted size

    EXPECT_TRUE(areaSizesUsable(settings(1000, 0, 0, 1)));
    EXPECT_FALSE(areaSizesUsable(settings(999, 0, 0, 1)));
    EXPECT_TRUE(areaSizesUsable(settings(2000, 0, 1000, 2)));
    EXPECT_FALSE(areaSizesUsable(settings(2000, 0, 999, 2)));
    EXPECT_FALSE(areaSizesUsable(settings(5000, 5000, 5000, 0)));
    EXPECT_FALSE(areaSizesUsable(settings(5000, 5000, 5000, 4)));
}

// The override of the layout by the area's size is the FAT builder's
// (fat_image_unit_test), which alone knows the cluster counts it leads to.
TEST(BootLayout, FromModeAndWhereTheVolumeStarts) {
    const int expected[] = {0, 0, 2, 1, 3, -1};
    for (uint8_t m = 0; m < 6; ++m) EXPECT_EQ(bootLayoutForMode(m), expected[m]) << int(m);
    EXPECT_EQ(volumeStartForLayout(1), 32u);
    EXPECT_EQ(volumeStartForLayout(2), 63u);
    EXPECT_EQ(volumeStartForLayout(3), 32u);
}

std::string sfdiskDump(const uint8_t *sector, uint32_t areaSectors) {
    testsupport::TempDir dir;
    const std::string image = dir.str() + "/area.img";
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char *>(sector), 512);
    std::filesystem::resize_file(image, uint64_t(areaSectors) * 512);
    std::string out;
    fattools::sfdiskPartitions(image, &out);
    std::erase(out, ' '); // sfdisk pads its columns
    return out;
}

TEST(PartitionTableSector, OneActiveEntryAsReadBySfdisk) {
    uint8_t sector[512];
    ASSERT_TRUE(buildPartitionTableSector(sector, 2, 4200, false));
    EXPECT_EQ(std::memcmp(sector + 0x1BF, "\x01\x01\x00", 3), 0); // CHS kept from the template
    EXPECT_EQ(std::memcmp(sector + 0x1C3, "\xFE\xFF\xFF", 3), 0);
    for (size_t i = 0x1CE; i < 0x1FE; ++i) ASSERT_EQ(sector[i], 0) << i;
    std::string dump = sfdiskDump(sector, 4200);
    EXPECT_NE(dump.find("start=63,size=4137,type=6,bootable"), std::string::npos) << dump;

    ASSERT_TRUE(buildPartitionTableSector(sector, 2, 4'096'001, true));
    dump = sfdiskDump(sector, 4'096'001);
    EXPECT_NE(dump.find("start=63,size=4095938,type=b,bootable"), std::string::npos) << dump;

    ASSERT_TRUE(buildPartitionTableSector(sector, 3, 10000, false));
    dump = sfdiskDump(sector, 10000);
    EXPECT_NE(dump.find("start=32,size=9968,type=6,bootable"), std::string::npos) << dump;

    EXPECT_FALSE(buildPartitionTableSector(sector, 0, 10000, false));
}

TEST(Seals, TableAndInformationHalves) {
    std::mt19937 rng(7);
    std::vector<uint8_t> buf(512 + 3 * 4096);
    for (auto &b : buf) b = uint8_t(rng());
    const std::vector<uint8_t> before = buf;

    uint8_t *table = buf.data();
    SealConfigTable(table);
    EXPECT_EQ(xorOfWords(table, 128), 0u);
    EXPECT_TRUE(std::equal(table + 8, table + 512, before.begin() + 8)); // only the check word

    uint8_t *info = buf.data() + 512;
    SealInfoBuffer(info, 8);
    EXPECT_EQ(bo::getLE32(info + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(xorOfWords(info, 1024), 0u);
    EXPECT_TRUE(std::equal(info + 4096, info + 3 * 4096, before.begin() + 512 + 4096));
    SealInfoBuffer(info, 16);
    EXPECT_EQ(bo::getLE32(info + 4096 + 4088), 0xA5A5A5A5u);
    EXPECT_EQ(xorOfWords(info + 4096, 1024), 0u);
    EXPECT_TRUE(std::equal(info + 8192, info + 3 * 4096, before.begin() + 512 + 8192));
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
    std::array<uint32_t, 5> areas() const {
        std::array<uint32_t, 5> a;
        for (size_t i = 0; i < 5; ++i) a[i] = bo::getLE32(table_ + 236 + 4 * i);
        return a;
    }
    LibraryState saved_;
    uint8_t table_[512];
};

TEST_F(NewTable, LayoutKindByVariantModeAndAreaCount) {
    struct Case {
        uint8_t variant, mode;
        uint32_t areas;
        uint8_t kind;
    };
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

TEST_F(NewTable, AreaSizesAndStarts) {
    using A = std::array<uint32_t, 5>; // sizes of areas 0, 1, 2; starts of areas 1, 2
    struct Case {
        FormatSettings s;
        A expected;
    };
    const Case cases[] = {
        {settings(200'000, 300'000, 0, 2, 0), A{200'000, 0, 800'000, 0, 200'000}},
        {settings(200'000, 0, 0, 2, 1), A{200'000, 800'000, 0, 200'000, 0}},
        {settings(200'000, 300'000, 7, 3, 0), A{200'000, 300'000, 500'000, 200'000, 500'000}},
        {settings(5, 6, 7, 1, 1), A{1'000'000, 0, 0, 0, 0}},
        // A 0 takes the size at 0x08, as the areas were written.
        {settings(100'000, 0, 250'000, 3, 0), A{100'000, 250'000, 650'000, 100'000, 350'000}},
        {settings(600'000, 400'000, 0, 3, 1), A{600'000, 400'000, 0, 600'000, 1'000'000}},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(CreateNewCfgtblV2(table_, &c.s), 1);
        EXPECT_EQ(areas(), c.expected) << c.s.areaSize[0] << " " << c.s.areaCount;
    }
    // Any other count leaves them; areas past the disk leave the whole table.
    uint8_t before[512];
    std::memcpy(before, table_, 512);
    FormatSettings s = settings(5, 6, 7, 4, 0);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(std::memcmp(table_ + 236, before + 236, 20), 0);
    std::memcpy(before, table_, 512);
    s = settings(1'000'001, 0, 0, 2, 0);
    EXPECT_EQ(CreateNewCfgtblV2(table_, &s), 0);
    s = settings(600'000, 400'001, 0, 3, 1);
    EXPECT_EQ(CreateNewCfgtblV2(table_, &s), 0);
    EXPECT_EQ(CreateNewCfgtblV2(table_, nullptr), 0);
    EXPECT_EQ(std::memcmp(table_, before, 512), 0);
}

TEST_F(NewTable, DigestRemovableAndCdromFlags) {
    FormatSettings s = settings(200'000, 0, 0, 2, 1);
    std::strcpy(s.password, "Open Sesame");
    table_[cfgtbl::kFlags232] = 0xFF;
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    const Digest d = loginDigest("Open Sesame");
    EXPECT_EQ(std::memcmp(table_ + 208, d.data(), 16), 0);
    EXPECT_EQ(table_[233], 0x80);
    EXPECT_EQ(table_[232], 0xFD); // CD-ROM bit cleared, the others kept

    s.mode = 2; // HDD boot: a fixed disk, no password kept
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    for (int i = 208; i < 224; ++i) EXPECT_EQ(table_[i], 0) << i;
    EXPECT_EQ(table_[233], 0x00);

    s.mode = 5;
    table_[cfgtbl::kFlags232] = 0x20;
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    EXPECT_EQ(table_[232], 0x22);

    // A password filling its 61 bytes without a NUL is digested over those 61.
    s.mode = 1;
    std::memset(s.password, 'x', sizeof s.password);
    ASSERT_EQ(CreateNewCfgtblV2(table_, &s), 1);
    const std::string x61(61, 'x');
    EXPECT_EQ(std::memcmp(table_ + 208, md5(x61.data(), x61.size()).data(), 16), 0);
}

} // namespace
