// The test support's own FAT reader, which stands in for fsck.fat, mtools and
// sfdisk in the Windows build: it must accept the volumes the builder makes,
// read their files back, and find each kind of damage. On Linux every verdict
// is compared with the real tools', so the reader cannot drift from them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FatImage.h"
#include "FatReader.h"
#include "FatTools.h"
#include "QuendalLib.h"
#include "byteorder.h"
#include "file_io.h"

using namespace quendal;

namespace {

fat::DateTime fixedClock() { return {2026, 12, 8, 12, 0, 0}; }

struct Case {
    const char *what;
    int layout;
    uint32_t area;
    FatKind kind;
};

const Case kCases[] = {
    {"FAT12 without table", kLayoutNoTable, 4000, FatKind::Fat12},
    {"FAT16 behind a table", kLayoutTable63, 60000, FatKind::Fat16},
    {"FAT32 behind a table", kLayoutTable32, 4'200'000, FatKind::Fat32},
};

std::vector<uint8_t> pattern(uint32_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    for (uint32_t i = 0; i < size; ++i) v[i] = uint8_t((i * 31u + seed * 7u + (i >> 9)) & 0xFF);
    return v;
}

// The area's sectors from `first` on, written to a file of the area's length.
std::string dump(const FatImage &image, uint32_t first, const std::string &path) {
    fileio::File f(path, fileio::File::Mode::CreateReadWrite);
    EXPECT_TRUE(f.isOpen()) << path;
    EXPECT_TRUE(f.resize(uint64_t(image.areaSectors() - first) * 512));
    for (uint32_t s = first; s < image.imageSectors() && s < image.areaSectors(); ++s) {
        if (const uint8_t *p = image.sectorData(s)) {
            EXPECT_TRUE(f.writeAt(uint64_t(s - first) * 512, p, 512));
        }
    }
    EXPECT_TRUE(f.close());
    return path;
}

void patch(const std::string &path, uint64_t offset, const std::vector<uint8_t> &bytes) {
    fileio::File f(path, fileio::File::Mode::ReadWrite);
    ASSERT_TRUE(f.writeAt(offset, bytes.data(), bytes.size()));
    ASSERT_TRUE(f.close());
}

class FatReaderTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        setFileClock(fixedClock);
        ASSERT_TRUE(BuildFatImage(image, GetParam().layout, GetParam().area, 6144));
        ASSERT_EQ(image.kind(), GetParam().kind);
        // Three files: one of several clusters, one of a single byte, one empty.
        big = pattern(image.geometry().sectorsPerCluster * 512 * 3 + 100, 1);
        ASSERT_EQ(AddFileToImage(image, big.data(), uint32_t(big.size()), "BIG.BIN"), 1);
        ASSERT_EQ(AddFileToImage(image, small.data(), 1, "ONE.TXT"), 1);
        ASSERT_EQ(AddFileToImage(image, nullptr, 0, "EMPTY"), 1);
    }
    void TearDown() override { setFileClock(nullptr); }

    // The volume as a file of its own.
    std::string volumeFile() { return dump(image, image.volumeStart(), dir.str() + "/volume.img"); }

    // The directory entry of the n-th file copied in (BIG.BIN, ONE.TXT, EMPTY).
    uint8_t *entry(uint32_t n) {
        static const char *const names[] = {"BIG     BIN", "ONE     TXT", "EMPTY      "};
        uint8_t *root = image.mutableSector(image.rootDirSector());
        for (uint32_t i = 0; i < 16; ++i)
            if (std::memcmp(root + 32 * i, names[n], 11) == 0) return root + 32 * i;
        ADD_FAILURE() << "no entry for " << names[n];
        static uint8_t scratch[32];
        return scratch;
    }

    // The reader's problems; on Linux fsck.fat -n must see trouble exactly when the
    // reader does.
    std::vector<std::string> problems(const std::string &volume) {
        fatreader::Volume v(volume, 0);
        v.check();
#ifndef _WIN32
        std::string out;
        const bool dirty = image.kind() != FatKind::Fat32 && image.sectorData(image.volumeStart())[0x25] == 1;
        auto fsck = fattools::fsckProblems(volume, dirty, nullptr, &out);
        EXPECT_EQ(fsck.empty(), v.problems().empty()) << "fsck.fat:\n"
                                                      << out << "reader:\n"
                                                      << ::testing::PrintToString(v.problems());
#endif
        return v.problems();
    }

    static bool mentions(const std::vector<std::string> &problems, const std::string &text) {
        for (const auto &p : problems)
            if (p.find(text) != std::string::npos) return true;
        return false;
    }

    testsupport::TempDir dir;
    FatImage image;
    std::vector<uint8_t> big;
    const std::vector<uint8_t> small{0x5A};
};

TEST_P(FatReaderTest, AcceptsTheBuiltVolumeAndReadsItsFilesBack) {
    const std::string volume = volumeFile();
    fatreader::Volume v(volume, 0);
    ASSERT_TRUE(v.valid()) << ::testing::PrintToString(v.problems());
    EXPECT_EQ(int(v.kind()), int(image.kind()));
    EXPECT_EQ(v.clusters() + 2, image.clusterLimit());
    EXPECT_EQ(problems(volume), std::vector<std::string>{});

    std::vector<std::string> names;
    for (const auto &f : v.rootFiles()) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"BIG.BIN", "ONE.TXT", "EMPTY"}));

    std::string got;
    ASSERT_TRUE(v.readFile("big.bin", &got));
    EXPECT_EQ(got, std::string(big.begin(), big.end()));
    ASSERT_TRUE(v.readFile("ONE.TXT", &got));
    EXPECT_EQ(got, "\x5A");
    ASSERT_TRUE(v.readFile("EMPTY", &got));
    EXPECT_EQ(got, "");
    EXPECT_FALSE(v.readFile("ABSENT.TXT", &got));

    // The volume is also found at its offset inside the whole area.
    const std::string area = dump(image, 0, dir.str() + "/area.img");
    std::string fromArea;
    ASSERT_TRUE(fattools::mtype(area, uint64_t(image.volumeStart()) * 512, "BIG.BIN", &fromArea));
    EXPECT_EQ(fromArea, std::string(big.begin(), big.end()));
}

TEST_P(FatReaderTest, FindsSharedLostAndShortChains) {
    const uint32_t bigFirst = bo::getLE16(entry(0) + 0x1A) | (uint32_t(bo::getLE16(entry(0) + 0x14)) << 16);
    {
        // ONE.TXT starts in BIG.BIN's last cluster: two files share it.
        uint32_t last = bigFirst;
        while (!image.isEndOfChain(image.fatEntry(last))) last = image.fatEntry(last);
        const uint32_t oneFirst = bo::getLE16(entry(1) + 0x1A) | (uint32_t(bo::getLE16(entry(1) + 0x14)) << 16);
        bo::putLE16(entry(1) + 0x1A, uint16_t(last));
        bo::putLE16(entry(1) + 0x14, uint16_t(last >> 16));
        auto found = problems(volumeFile());
        EXPECT_TRUE(mentions(found, "shared")) << ::testing::PrintToString(found);
        // The cluster ONE.TXT had is now allocated to nothing.
        EXPECT_TRUE(mentions(found, "belongs to no file")) << ::testing::PrintToString(found);
        bo::putLE16(entry(1) + 0x1A, uint16_t(oneFirst));
        bo::putLE16(entry(1) + 0x14, uint16_t(oneFirst >> 16));
    }
    {
        // BIG.BIN claims more bytes than its chain holds.
        const uint32_t size = bo::getLE32(entry(0) + 0x1C);
        bo::putLE32(entry(0) + 0x1C, size + image.geometry().sectorsPerCluster * 512);
        auto found = problems(volumeFile());
        EXPECT_TRUE(mentions(found, "BIG.BIN")) << ::testing::PrintToString(found);
        bo::putLE32(entry(0) + 0x1C, size);
    }
    {
        // A chain that runs into a free cluster.
        const uint32_t second = image.fatEntry(bigFirst);
        const uint32_t third = image.fatEntry(second);
        image.setFatEntry(second, 0);
        auto found = problems(volumeFile());
        EXPECT_TRUE(mentions(found, "broken cluster chain")) << ::testing::PrintToString(found);
        image.setFatEntry(second, third);
    }
    EXPECT_EQ(problems(volumeFile()), std::vector<std::string>{});
}

TEST_P(FatReaderTest, FindsDifferingFatCopiesAndAWrongFreeCount) {
    std::string volume = volumeFile();
    uint8_t boot[512];
    {
        fileio::File f(volume, fileio::File::Mode::Read);
        ASSERT_TRUE(f.readAt(0, boot, sizeof boot));
    }
    const uint32_t reserved = bo::getLE16(boot + 14);
    const uint32_t fatSectors = bo::getLE16(boot + 22) ? bo::getLE16(boot + 22) : bo::getLE32(boot + 36);
    // BIG.BIN's first entry in the second FAT only.
    const uint32_t first = bo::getLE16(entry(0) + 0x1A) | (uint32_t(bo::getLE16(entry(0) + 0x14)) << 16);
    const uint64_t at = image.kind() == FatKind::Fat12   ? first * 3 / 2
                        : image.kind() == FatKind::Fat16 ? first * 2
                                                         : first * 4;
    patch(volume, uint64_t(reserved + fatSectors) * 512 + at, {0x77});
    auto found = problems(volume);
    EXPECT_TRUE(mentions(found, "FATs differ")) << ::testing::PrintToString(found);

    if (image.kind() == FatKind::Fat32) {
        volume = volumeFile();
        const uint32_t counted = bo::getLE32(image.sectorData(image.volumeStart() + 1) + 0x1E8);
        uint8_t wrong[4];
        bo::putLE32(wrong, counted - 5);
        patch(volume, 512 + 0x1E8, std::vector<uint8_t>(wrong, wrong + 4));
        found = problems(volume);
        EXPECT_TRUE(mentions(found, "free cluster summary")) << ::testing::PrintToString(found);
    }
}

TEST_P(FatReaderTest, ReadsThePartitionTableAsSfdiskDoes) {
    // A boot sector is no partition table of four sensible entries; only the
    // table layouts are compared.
    if (!image.hasPartitionTable()) GTEST_SKIP() << "no partition table in this layout";
    const std::string area = dump(image, 0, dir.str() + "/area.img");
    auto parts = fatreader::partitions(area);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].start, image.volumeStart());
    EXPECT_EQ(parts[0].size, image.geometry().totalSectors);
    EXPECT_EQ(parts[0].type, image.kind() == FatKind::Fat32 ? "b" : "6");
    EXPECT_TRUE(parts[0].bootable);
#ifndef _WIN32
    std::string raw;
    auto tool = fattools::sfdiskPartitions(area, &raw);
    ASSERT_EQ(tool.size(), 1u) << raw;
    EXPECT_EQ(tool[0].start, parts[0].start);
    EXPECT_EQ(tool[0].size, parts[0].size);
    EXPECT_EQ(tool[0].type, parts[0].type);
    EXPECT_EQ(tool[0].bootable, parts[0].bootable);
#endif
    // Without the signature there is no table at all.
    patch(area, 510, {0, 0});
    EXPECT_TRUE(fatreader::partitions(area).empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatReaderTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &i) {
                             std::string n = i.param.what;
                             for (char &c : n)
                                 if (!std::isalnum((unsigned char)c)) c = '_';
                             return n;
                         });

TEST(FatReader, RefusesWhatIsNoFatVolume) {
    testsupport::TempDir dir;
    const std::string path = dir.str() + "/zeros.img";
    {
        fileio::File f(path, fileio::File::Mode::CreateReadWrite);
        ASSERT_TRUE(f.resize(64 * 512));
    }
    fatreader::Volume zeros(path, 0);
    EXPECT_FALSE(zeros.valid());
    EXPECT_FALSE(zeros.problems().empty());
    auto listing = fattools::mdir(path, 0);
    EXPECT_NE(listing.status, 0) << listing.output;

    fatreader::Volume missing(dir.str() + "/absent.img", 0);
    EXPECT_FALSE(missing.valid());
    fatreader::Volume pastEnd(path, 1 << 20);
    EXPECT_FALSE(pastEnd.valid());
}

} // namespace
