// The FAT on-disk rules: the kind by cluster count at its boundaries, the entry
// codec of each kind, geometry from a boot sector, 8.3 names and their numeric
// tails, date and time stamps.
#include "fat_layout.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "byteorder.h"

namespace {

using fat::Kind;

std::string str(const fat::ShortName &n) { return std::string(n.begin(), n.end()); }

std::string shortOf(std::string_view name, uint32_t codePage = 1252) {
    auto form = fat::shortName(name, codePage);
    return form ? str(form->name) : "<none>";
}

bool exact(std::string_view name) { return fat::shortName(name, 1252).value_or(fat::ShortNameForm{}).exact; }

// A FAT12/FAT16-style boot sector: 1 reserved sector, 2 FATs, 512 root entries.
std::array<uint8_t, 512> bootSector(uint32_t total, uint16_t fatSize, uint8_t spc = 1) {
    std::array<uint8_t, 512> bs{};
    bo::putLE16(&bs[0x0B], 512);
    bs[0x0D] = spc;
    bo::putLE16(&bs[0x0E], 1);
    bs[0x10] = 2;
    bo::putLE16(&bs[0x11], 512);
    if (total < 0x10000)
        bo::putLE16(&bs[0x13], uint16_t(total));
    else
        bo::putLE32(&bs[0x20], total);
    bo::putLE16(&bs[0x16], fatSize);
    bs[0x1FE] = 0x55;
    bs[0x1FF] = 0xAA;
    return bs;
}

} // namespace

TEST(FatKind, ReadersTellTheKindsApartByTheClusterCountAlone) {
    EXPECT_EQ(fat::kindForClusters(4084), Kind::Fat12);
    EXPECT_EQ(fat::kindForClusters(4085), Kind::Fat16);
    EXPECT_EQ(fat::kindForClusters(65524), Kind::Fat16);
    EXPECT_EQ(fat::kindForClusters(65525), Kind::Fat32);
    // 1 + 2 x 17 + 32 sectors before the data: 4084 and 4085 clusters of one sector.
    for (uint32_t clusters : {4084u, 4085u}) {
        auto g = fat::readGeometry(bootSector(67 + clusters, 17).data());
        ASSERT_TRUE(g);
        EXPECT_EQ(g->clusters, clusters);
        EXPECT_EQ(g->kind, clusters == 4084 ? Kind::Fat12 : Kind::Fat16);
        EXPECT_TRUE(g->sound());
    }
}

TEST(FatEntries, EachKindKeepsWhatItsNeighboursAndReservedBitsHold) {
    std::vector<uint8_t> table(64, 0);
    // FAT12: clusters 2 and 3 share byte 4.
    fat::setEntry(Kind::Fat12, table, 2, 0xABC);
    fat::setEntry(Kind::Fat12, table, 3, 0x123);
    EXPECT_EQ(table[3], 0xBC);
    EXPECT_EQ(table[4], 0x3A);
    EXPECT_EQ(table[5], 0x12);
    fat::setEntry(Kind::Fat12, table, 2, 0);
    EXPECT_EQ(fat::getEntry(Kind::Fat12, table, 3), 0x123u);
    fat::setEntry(Kind::Fat12, table, 3, 0xFFF);
    EXPECT_EQ(fat::getEntry(Kind::Fat12, table, 2), 0u);

    fat::setEntry(Kind::Fat16, table, 5, 0x1FFFF);
    EXPECT_EQ(fat::getEntry(Kind::Fat16, table, 5), 0xFFFFu);

    // FAT32: the top four bits of a stored entry stay as they were.
    bo::putLE32(&table[8 * 4], 0xA0000000);
    fat::setEntry(Kind::Fat32, table, 8, 0xFFFFFFFF);
    EXPECT_EQ(bo::getLE32(&table[8 * 4]), 0xAFFFFFFFu);
    EXPECT_EQ(fat::getEntry(Kind::Fat32, table, 8), 0x0FFFFFFFu);

    // An entry past the table's end ends a chain and is never written.
    EXPECT_TRUE(fat::isEndOfChain(Kind::Fat16, fat::getEntry(Kind::Fat16, table, 40)));
    const std::vector<uint8_t> before = table;
    fat::setEntry(Kind::Fat32, table, 16, 5);
    EXPECT_EQ(table, before);

    for (Kind k : {Kind::Fat12, Kind::Fat16, Kind::Fat32}) {
        EXPECT_TRUE(fat::isEndOfChain(k, fat::endOfChain(k)));
        EXPECT_FALSE(fat::isEndOfChain(k, fat::endOfChain(k) - 8)); // the bad-cluster mark
    }
    EXPECT_EQ(fat::endOfChain(Kind::Fat12), 0xFFFu);
    EXPECT_EQ(fat::endOfChain(Kind::Fat16), 0xFFFFu);
    EXPECT_EQ(fat::endOfChain(Kind::Fat32), 0x0FFFFFFFu);
}

TEST(FatGeometry, DataBytesOfTheLoginVolumeAndOfAFat32Volume) {
    // The secure disk's login area: 2500 sectors, FATs of 8 -> 2451 clusters of 512 bytes.
    auto small = fat::readGeometry(bootSector(2500, 8).data());
    ASSERT_TRUE(small);
    EXPECT_EQ(small->dataBytes(), 1'254'912u);
    EXPECT_EQ(small->rootDirSector(), 17u);
    EXPECT_EQ(small->clusterSector(2), 49u);

    auto bs = bootSector(3'000'000, 0, 8);
    bo::putLE16(&bs[0x11], 0);
    bo::putLE16(&bs[0x0E], 32);
    bo::putLE32(&bs[0x24], 2929);
    bo::putLE32(&bs[0x2C], 2);
    auto big = fat::readGeometry(bs.data());
    ASSERT_TRUE(big);
    EXPECT_EQ(big->kind, Kind::Fat32);
    EXPECT_EQ(big->clusters, (3'000'000u - 32 - 2 * 2929) / 8);
    EXPECT_EQ(big->dataBytes(), uint64_t(big->clusters) * 4096);
    EXPECT_TRUE(big->sound());
    // A FAT too short for its clusters, or a root cluster outside the volume,
    // is no volume a writer may change.
    bo::putLE32(&bs[0x24], 2900);
    EXPECT_FALSE(fat::readGeometry(bs.data())->sound());
    bo::putLE32(&bs[0x24], 2929);
    bo::putLE32(&bs[0x2C], big->clusterLimit());
    EXPECT_FALSE(fat::readGeometry(bs.data())->sound());
}

TEST(FatGeometry, WhatCannotBeAVolumeIsRefused) {
    const auto good = bootSector(2500, 8);
    auto bad = good;
    bad[511] = 0;
    EXPECT_FALSE(fat::readGeometry(bad.data()));
    bad = good;
    bad[0x0D] = 3; // not a power of two
    EXPECT_FALSE(fat::readGeometry(bad.data()));
    bad = good;
    bo::putLE16(&bad[0x13], 40); // smaller than its own FATs and root directory
    EXPECT_FALSE(fat::readGeometry(bad.data()));
    bad = good;
    bo::putLE16(&bad[0x0B], 0);
    EXPECT_FALSE(fat::readGeometry(bad.data()));
    bad = good;
    bad[0x10] = 0;
    EXPECT_FALSE(fat::readGeometry(bad.data()));
}

TEST(ShortName, TheDevicesRuleForTheNamesItHandles) {
    EXPECT_EQ(shortOf("readme.txt"), "README  TXT");
    EXPECT_EQ(shortOf("LONGFILENAME.DOCX"), "LONGFILEDOC");
    EXPECT_EQ(shortOf("NOEXT"), "NOEXT      ");
    EXPECT_TRUE(exact("log.log"));
    EXPECT_FALSE(exact("LONGFILENAME.DOCX"));
    // Bytes of the code page beyond ASCII are the caller's to upper-case.
    EXPECT_EQ(shortOf("\xe9t\xe9.bin"), "\xe9T\xe9     BIN");
}

TEST(ShortName, WhatReadersRejectIsMendedAsWindowsDoes) {
    EXPECT_EQ(shortOf("a+b=c;d.t[x"), "A_B_C_D T_X");
    EXPECT_EQ(shortOf("A.B.C"), "A       B_C"); // the device's rule left "B.C"
    EXPECT_EQ(shortOf("my file.t t"), "MYFILE  TT ");
    EXPECT_EQ(shortOf(".profile"), "PROFILE    ");
    EXPECT_EQ(shortOf("\xe5.txt"), "\x05       TXT");
    EXPECT_FALSE(exact("a*b"));
    EXPECT_FALSE(exact("my file"));
    EXPECT_EQ(shortOf(""), "<none>");
    EXPECT_EQ(shortOf(". ."), "<none>");
}

TEST(ShortName, DoubleByteCharactersStayWhole) {
    // Big5 0xA5 0x5C and 0xB3 0x5C: second bytes that look like '\'.
    const std::string name = "\xa5\x5c\xb3\x5c"
                             "abcdefg.txt";
    EXPECT_EQ(shortOf(name, 950), "\xa5\x5c\xb3\x5c"
                                  "ABCDTXT");
    // A character that would straddle the eighth byte is left out whole.
    EXPECT_EQ(shortOf("abcdefg\xa5\x40.txt", 950), "ABCDEFG TXT");
    // In 1252 the same bytes are single characters: '\' is replaced.
    EXPECT_EQ(shortOf(name, 1252), "\xa5_\xb3_ABCDTXT");
}

TEST(ShortName, NumericTailsFitTheBase) {
    const auto longName = fat::shortName("LONGFILENAME1.TXT", 1252)->name;
    EXPECT_EQ(str(fat::withNumericTail(longName, 1, 1252)), "LONGFI~1TXT");
    EXPECT_EQ(str(fat::withNumericTail(longName, 12, 1252)), "LONGF~12TXT");
    EXPECT_EQ(str(fat::withNumericTail(fat::shortName("ab", 1252)->name, 2, 1252)), "AB~2       ");
    // The base is cut before a double-byte character that would not fit.
    const auto dbcs = fat::shortName("abcde\xa5\x40x.txt", 950)->name;
    EXPECT_EQ(str(fat::withNumericTail(dbcs, 1, 950)), "ABCDE~1 TXT");
}

TEST(FatStamp, DateAndTimeFieldsAndTheirRange) {
    auto s = fat::stamp({2026, 12, 8, 13, 45, 31});
    EXPECT_EQ(s.time, (13 << 11) | (45 << 5) | 15);
    EXPECT_EQ(s.date, ((2026 - 1980) << 9) | (12 << 5) | 8);
    EXPECT_EQ(fat::stamp({2026, 12, 8, 23, 59, 60}).time, (23 << 11) | (59 << 5) | 29);
    for (int year : {1979, 2108}) {
        auto early = fat::stamp({year, 6, 1, 12, 0, 0});
        EXPECT_EQ(early.date, (1 << 5) | 1);
        EXPECT_EQ(early.time, 0);
    }
    auto local = fat::localDateTime(0);
    ASSERT_TRUE(local);
    EXPECT_TRUE(local->year == 1970 || local->year == 1969);
}
