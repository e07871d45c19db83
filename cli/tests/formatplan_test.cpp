// How a format request divides the disk: the worked examples of the format
// settings dialog, the snapping of small parts, the secure disk's login area
// and the record's bytes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "FormatPlan.h"
#include "TableView.h"
#include "byteorder.h"
#include "table_layout.h"

using namespace cli;

namespace {
const uint8_t *bytes(const FormatSettings &s) { return reinterpret_cast<const uint8_t *>(&s); }
uint32_t recordArea(const FormatPlan &p, int i) {
    return bo::getLE32(bytes(p.settings) + offsetof(FormatSettings, areaSize) + 4 * i);
}
uint32_t recordCount(const FormatPlan &p) {
    return bo::getLE32(bytes(p.settings) + offsetof(FormatSettings, areaCount));
}
} // namespace

TEST(FormatPlan, WorkedExamplesOfAMillionSectorDisk) {
    struct Case {
        uint8_t mode;
        int percent;
        uint32_t a0, a1, a2, count;
    } cases[] = {
        {QUENDAL_MODE_NORMAL, 100, 1000000, 0, 0, 1},       {QUENDAL_MODE_NORMAL, 50, 500000, 0, 500000, 2},
        {QUENDAL_MODE_NORMAL, 0, 1000000, 0, 0, 1},         {QUENDAL_MODE_SECURE, 100, 2500, 997500, 0, 2},
        {QUENDAL_MODE_SECURE, 30, 2500, 297500, 700000, 3}, {QUENDAL_MODE_HDD_BOOT, 25, 250000, 0, 750000, 2},
        {QUENDAL_MODE_ZIP_BOOT_63, 100, 1000000, 0, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << " at " << c.percent << "%");
        FormatPlan p = planFormat(1000000, c.percent, c.mode, "pw");
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(recordArea(p, 0), c.a0);
        EXPECT_EQ(recordArea(p, 1), c.a1);
        EXPECT_EQ(recordArea(p, 2), c.a2);
        EXPECT_EQ(recordCount(p), c.count);
        EXPECT_EQ(bytes(p.settings)[offsetof(FormatSettings, mode)], c.mode);
        EXPECT_EQ(p.area[0] + p.area[1] + p.area[2], 1000000u);
    }
}

TEST(FormatPlan, LabelsAndStartDifferNearTheLeftEnd) {
    // 1% of a million is 10000 sectors: a real first part.
    formatsplit::Split l = formatsplit::forLabels(1000000, 1), s = formatsplit::forStart(1000000, 1);
    EXPECT_EQ(l.first, 10000u);
    EXPECT_EQ(s.first, 10000u);
    // 1000 sectors is under 1 MByte: the labels show the whole disk in the second
    // part, Start makes one area of the whole disk.
    l = formatsplit::forLabels(100000, 1);
    s = formatsplit::forStart(100000, 1);
    EXPECT_EQ(l.first, 0u);
    EXPECT_EQ(l.second, 100000u);
    EXPECT_EQ(s.first, 100000u);
    EXPECT_EQ(s.second, 0u);
    // A small second part snaps to one area in both.
    l = formatsplit::forLabels(100000, 99);
    s = formatsplit::forStart(100000, 99);
    EXPECT_EQ(l.first, 100000u);
    EXPECT_EQ(l.second, 0u);
    EXPECT_EQ(s.first, 100000u);
}

TEST(FormatPlan, LargeDisksDoNotOverflowThePercentage) {
    const uint32_t big = 0xFFFFFFF0u;
    formatsplit::Split s = formatsplit::forStart(big, 99);
    EXPECT_EQ(s.first, uint32_t(uint64_t(big) * 99 / 100));
    EXPECT_EQ(s.first + s.second, big);
}

TEST(FormatPlan, SecureDiskTakesTheLoginAreaFromTheSecondPartWhenTheFirstIsSmall) {
    // first 3000 (not over 4096), second 7000: area 1 keeps the first part.
    FormatPlan p = planFormat(10000, 30, QUENDAL_MODE_SECURE, "");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.area[0], 2500u);
    EXPECT_EQ(p.area[1], 3000u);
    EXPECT_EQ(p.area[2], 4500u);
    EXPECT_EQ(p.areaCount, 3u);
}

TEST(FormatPlan, SecureSplitThatWouldWrapIsRefused) {
    // 6000 sectors at 60%: first 3600, second 2400, shorter than the login area.
    FormatPlan p = planFormat(6000, 60, QUENDAL_MODE_SECURE, "pw");
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("too small"), std::string::npos);
    // The whole of a 4000-sector disk in the first part leaves nothing for it.
    EXPECT_FALSE(planFormat(4000, 100, QUENDAL_MODE_SECURE, "pw").ok);
    // The same disk as a normal disk is fine.
    EXPECT_TRUE(planFormat(6000, 60, QUENDAL_MODE_NORMAL, "").ok);
    // At 50% the second part gives the login area and keeps 500 sectors, too
    // few for an area: refused up front, as the format dialog refuses it,
    // instead of failing halfway through the format.
    p = planFormat(6000, 50, QUENDAL_MODE_SECURE, "pw");
    EXPECT_FALSE(p.ok);
    EXPECT_FALSE(formatsplit::areasFor(true, formatsplit::forStart(6000, 50)));
}

TEST(FormatPlan, PasswordIsWrittenOnlyForASecureDisk) {
    FormatPlan secure = planFormat(1000000, 100, QUENDAL_MODE_SECURE, "Secret 1");
    ASSERT_TRUE(secure.ok);
    EXPECT_STREQ(reinterpret_cast<const char *>(bytes(secure.settings) + 0x0D), "Secret 1");
    FormatPlan empty = planFormat(1000000, 100, QUENDAL_MODE_SECURE, "");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(bytes(empty.settings)[0x0D], 0);
    FormatPlan normal = planFormat(1000000, 100, QUENDAL_MODE_NORMAL, "Secret 1");
    ASSERT_TRUE(normal.ok);
    for (size_t i = 0x0D; i < 0x0D + 61; ++i) EXPECT_EQ(bytes(normal.settings)[i], 0) << i;
    // The label is the library's to fill.
    for (size_t i = 0x4E; i < 90; ++i) EXPECT_EQ(bytes(secure.settings)[i], 0) << i;
}

TEST(FormatPlan, BadRequestsAreRefused) {
    EXPECT_FALSE(planFormat(1000000, 101, QUENDAL_MODE_NORMAL, "").ok);
    EXPECT_FALSE(planFormat(1000000, -1, QUENDAL_MODE_NORMAL, "").ok);
    EXPECT_FALSE(planFormat(1000000, 50, 6, "").ok);
    EXPECT_FALSE(planFormat(0, 50, QUENDAL_MODE_NORMAL, "").ok);
    EXPECT_FALSE(planFormat(1000000, 50, QUENDAL_MODE_SECURE, std::string(61, 'x')).ok);
}

TEST(TableView, ReadsBothTableKinds) {
    uint8_t t[512] = {};
    std::memset(t, 0x5A, 4);
    std::memcpy(t + cfgtbl::kVersionText, "2.00", 4);
    t[cfgtbl::kLayoutKind] = 2;
    bo::putLE32(t + cfgtbl::kArea0Size, 2500);
    bo::putLE32(t + cfgtbl::kArea1Size, 297500);
    bo::putLE32(t + cfgtbl::kArea2Size, 700000);
    bo::putLE32(t + cfgtbl::kArea1Start, 2500);
    bo::putLE32(t + cfgtbl::kArea2Start, 300000);
    t[cfgtbl::kDigest + 15] = 1;
    t[cfgtbl::kRemovable] = 0x80;
    std::memcpy(t + cfgtbl::kLabel, "MY DISK    ", 11);
    TableView v = decodeTable(t);
    EXPECT_EQ(v.kind, TableView::Kind::Version);
    EXPECT_EQ(v.areaSize[1], 297500u);
    EXPECT_EQ(v.areaStart[2], 300000u);
    EXPECT_TRUE(v.passwordSet);
    EXPECT_EQ(v.label, "MY DISK");
    EXPECT_EQ(areaRole(v, 1), "secure area");

    uint8_t m[512] = {};
    std::memset(m, 0x5A, 4);
    std::memcpy(m + cfgtbl::kMakerName, "Morvantek", 9);
    m[cfgtbl::kMakerLayoutKind] = 0;
    bo::putLE32(m + cfgtbl::kMakerAreas, 123456);
    TableView mv = decodeTable(m);
    EXPECT_EQ(mv.kind, TableView::Kind::Maker);
    EXPECT_EQ(mv.areaSize[0], 123456u);
    EXPECT_FALSE(mv.passwordSet);

    m[0] = 0;
    EXPECT_EQ(decodeTable(m).kind, TableView::Kind::None);
}
