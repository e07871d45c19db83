// The FAT volume builder and the image writer: boot-sector fields and geometry
// at the size boundaries, checked against fsck.fat, mtools and sfdisk; the
// sparse image's memory bound; the WRITE(10) commands and progress reports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FatImage.h"
#include "FatTools.h"
#include "Internal.h"
#include "LibraryState.h"
#include "QuendalLib.h"
#include "byteorder.h"
#include "file_io.h"
#include "platform/Drives.h"

using namespace quendal;

namespace {

// Writes the area's sectors [first, areaSectors) of the image into a sparse file.
void dumpArea(const FatImage &image, uint32_t first, const std::string &path) {
    fileio::File f(path, fileio::File::Mode::CreateReadWrite);
    ASSERT_TRUE(f.isOpen()) << path;
    ASSERT_TRUE(f.resize(uint64_t(image.areaSectors() - first) * 512));
    for (uint32_t s = first; s < image.imageSectors() && s < image.areaSectors(); ++s) {
        if (const uint8_t *p = image.sectorData(s)) {
            ASSERT_TRUE(f.writeAt(uint64_t(s - first) * 512, p, 512));
        }
    }
    ASSERT_TRUE(f.close());
}

void build(FatImage &image, int layout, uint32_t area, uint32_t minimum = 6144) {
    ASSERT_TRUE(BuildFatImage(image, layout, area, minimum));
}

std::vector<uint8_t> sector(const FatImage &image, uint32_t s) {
    std::vector<uint8_t> v(512);
    image.readSector(s, v.data());
    return v;
}

// Runs fsck.fat on the built volume and, where it has one, sfdisk on the
// partition table; both must accept what the builder made.
void checkWithTools(const FatImage &image) {
    testsupport::TempDir dir;
    std::string volume = dir.str() + "/volume.img";
    dumpArea(image, image.volumeStart(), volume);
    std::string out;
    bool dirtyNote = image.kind() != FatKind::Fat32 && sector(image, image.volumeStart())[0x25] == 0x01;
    auto problems = fattools::fsckProblems(volume, dirtyNote, nullptr, &out);
    EXPECT_TRUE(problems.empty()) << "area " << image.areaSectors() << ":\n" << out;
    auto listing = fattools::mdir(volume, 0);
    EXPECT_EQ(listing.status, 0) << listing.output;

    if (image.hasPartitionTable()) {
        std::string area = dir.str() + "/area.img";
        dumpArea(image, 0, area);
        std::string raw;
        auto parts = fattools::sfdiskPartitions(area, &raw);
        ASSERT_EQ(parts.size(), 1u) << raw;
        EXPECT_EQ(parts[0].start, image.volumeStart());
        EXPECT_EQ(parts[0].size, image.geometry().totalSectors);
        EXPECT_EQ(parts[0].type, image.kind() == FatKind::Fat32 ? "b" : "6");
        EXPECT_TRUE(parts[0].bootable);
    }
}

} // namespace

TEST(FatBuilder, KindAndLayoutFollowTheAreaSize) {
    FatImage image;
    // Small areas are FAT12 without a partition table even in a boot mode.
    build(image, kLayoutTable63, 4199);
    EXPECT_EQ(image.kind(), FatKind::Fat12);
    EXPECT_FALSE(image.hasPartitionTable());
    auto b = sector(image, 0);
    EXPECT_EQ(bo::getLE16(&b[0x13]), 4199);
    EXPECT_EQ(b[0x0D], 2); // 4199 / 4085 = 1
    EXPECT_EQ(bo::getLE32(&b[0x20]), 0u);

    build(image, kLayoutNoTable, 4200);
    EXPECT_EQ(image.kind(), FatKind::Fat16);
    b = sector(image, 0);
    EXPECT_EQ(b[0x0D], 1);
    EXPECT_EQ(bo::getLE16(&b[0x13]), 0);
    EXPECT_EQ(bo::getLE32(&b[0x20]), 4200u);

    // Beyond 4,096,000 sectors every layout becomes FAT32 behind a table at 63.
    build(image, kLayoutNoTable, 4'096'001);
    EXPECT_EQ(image.kind(), FatKind::Fat32);
    EXPECT_EQ(image.volumeStart(), 63u);
    EXPECT_EQ(image.geometry().totalSectors, 4'095'938u);
    EXPECT_EQ(image.geometry().sectorsPerCluster, 8u);
    auto t = sector(image, 0);
    EXPECT_EQ(t[0x1C2], 0x0B);
    EXPECT_EQ(bo::getLE32(&t[0x1C6]), 63u);
    EXPECT_EQ(bo::getLE32(&t[0x1CA]), 4'095'938u);
}

TEST(FatBuilder, SmallFat16VolumesBecomeFat12SoReadersAgreeOnTheKind) {
    // 4200 sectors behind a table at 63 leave a FAT16 volume of 4070 clusters,
    // which every reader would take for FAT12.
    FatImage image;
    build(image, kLayoutTable63, 4200);
    EXPECT_EQ(image.kind(), FatKind::Fat12);
    EXPECT_FALSE(image.hasPartitionTable());
    EXPECT_EQ(image.geometry().totalSectors, 4200u);
    checkWithTools(image);
    // With the table at 32 the same area keeps enough clusters for FAT16.
    build(image, kLayoutTable32, 4200);
    EXPECT_EQ(image.kind(), FatKind::Fat16);
    EXPECT_GE(image.clusterLimit() - 2, fat::kMinFat16Clusters);
    checkWithTools(image);
}

TEST(FatBuilder, AnHddBootAreaOf4215SectorsIsTheSmallestFat16OneAndTakesAWrittenFile) {
    // Behind the table at 63, 4214 sectors leave 4084 clusters (FAT12 to every
    // reader) and 4215 exactly 4085, the fewest a FAT16 volume has.
    FatImage image;
    build(image, kLayoutTable63, 4214);
    EXPECT_EQ(image.kind(), FatKind::Fat12);
    EXPECT_FALSE(image.hasPartitionTable());
    build(image, kLayoutTable63, 4215);
    ASSERT_EQ(image.kind(), FatKind::Fat16);
    EXPECT_EQ(image.volumeStart(), 63u);
    EXPECT_EQ(image.clusterLimit() - 2, fat::kMinFat16Clusters);
    checkWithTools(image);
    // Up to 4,096,000 sectors a boot layout keeps its table.
    build(image, kLayoutTable32, 4'096'000);
    EXPECT_EQ(image.kind(), FatKind::Fat16);
    EXPECT_EQ(image.volumeStart(), 32u);

    // The writer into an unmounted volume must take it for FAT16 too (mkfs.fat
    // makes no volume this close to the boundary): a file written there reads
    // back and the volume stays sound.
    build(image, kLayoutTable63, 4215);
    testsupport::TempDir dir;
    const std::string area = dir.str() + "/area.img";
    dumpArea(image, 0, area);
    const uint64_t offset = 63 * 512, length = uint64_t(image.geometry().totalSectors) * 512;
    std::vector<uint8_t> data(3 * 512 + 100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 5);
    ASSERT_TRUE(platform::writeFatRootFile(area, offset, length, "LOG     LOG", data.data(), data.size(),
                                           platform::kAttrHidden, 0));
    std::string out;
    EXPECT_TRUE(fattools::fsckRange(area, offset, length, true, nullptr, &out).empty()) << out;
    std::string got;
    ASSERT_TRUE(fattools::mtype(area, offset, "LOG.LOG", &got));
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), data);
}

TEST(FatBuilder, Fat12GeometryOfA2500SectorArea) {
    FatImage image;
    build(image, kLayoutNoTable, 2500);
    EXPECT_EQ(image.geometry().sectorsPerCluster, 1u);
    EXPECT_EQ(image.geometry().fatSectors, 8u); // N = 2467
    EXPECT_EQ(image.clusterLimit(), 2453u);
    auto b = sector(image, 0);
    EXPECT_EQ(b[0x15], 0xF0);
    EXPECT_EQ(b[0x24], 0x00);
    EXPECT_EQ(std::memcmp(&b[0x36], "FAT12   ", 8), 0);
    EXPECT_EQ(std::memcmp(&b[0x2B], "Morvantek\0 ", 11), 0);
    EXPECT_EQ(bo::getLE16(&b[0x16]), 8);
    EXPECT_EQ(bo::getLE32(&b[0x1C]), 0u);
    EXPECT_EQ(bo::getLE16(&b[0x11]), 512);
    EXPECT_EQ(b[0x1FE], 0x55);
    EXPECT_EQ(b[0x1FF], 0xAA);
    // FAT[0] and FAT[1] are all ones in both FATs.
    for (uint32_t fat = 0; fat < 2; ++fat) {
        auto f = sector(image, 1 + fat * 8);
        EXPECT_EQ(f[0], 0xFF);
        EXPECT_EQ(f[1], 0xFF);
        EXPECT_EQ(f[2], 0xFF);
        EXPECT_EQ(f[3], 0x00);
    }
    checkWithTools(image);
}

TEST(FatBuilder, Fat16TemplatesByLayout) {
    FatImage image;
    struct Case {
        int layout;
        uint32_t start;
        uint8_t jump, media, drive, afterDrive;
        uint16_t track;
    } cases[] = {
        {kLayoutNoTable, 0, 0x3E, 0xF0, 0x00, 0x01, 32},
        {kLayoutTable32, 32, 0x3E, 0xF0, 0x00, 0x01, 32},
        {kLayoutTable63, 63, 0x3C, 0xF8, 0x80, 0x00, 63},
        {kLayoutTable32Track63, 32, 0x3E, 0xF0, 0x00, 0x01, 63},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout);
        build(image, c.layout, 1'000'000);
        ASSERT_EQ(image.kind(), FatKind::Fat16);
        ASSERT_EQ(image.volumeStart(), c.start);
        auto b = sector(image, c.start);
        EXPECT_EQ(b[1], c.jump);
        EXPECT_EQ(b[0x15], c.media);
        EXPECT_EQ(b[0x24], c.drive);
        EXPECT_EQ(b[0x25], c.afterDrive);
        EXPECT_EQ(bo::getLE16(&b[0x18]), c.track);
        EXPECT_EQ(bo::getLE32(&b[0x1C]), c.start);
        EXPECT_EQ(bo::getLE32(&b[0x20]), 1'000'000u - c.start);
        EXPECT_EQ(std::memcmp(&b[0x36], "FAT16   ", 8), 0);
        // FAT[0] stays all ones whatever the media byte.
        auto f = sector(image, c.start + 1);
        EXPECT_EQ(bo::getLE16(&f[0]), 0xFFFF);
        EXPECT_EQ(bo::getLE16(&f[2]), 0xFFFF);
        // Nothing between the table and the volume.
        for (uint32_t s = 1; s < c.start; ++s) EXPECT_EQ(image.sectorData(s), nullptr) << s;
        checkWithTools(image);
    }
}

TEST(FatBuilder, Fat32BootAreaFsInfoAndItsCopy) {
    FatImage image;
    build(image, kLayoutTable32, 8'000'000);
    ASSERT_EQ(image.kind(), FatKind::Fat32);
    const uint32_t v = 8'000'000 - 63;
    auto b = sector(image, 63);
    EXPECT_EQ(b[1], 0x5A);
    EXPECT_EQ(b[0x0D], 8);
    EXPECT_EQ(bo::getLE16(&b[0x0E]), 32);
    EXPECT_EQ(bo::getLE32(&b[0x20]), v);
    EXPECT_EQ(bo::getLE32(&b[0x1C]), 63u);
    const uint32_t fatSize = ((v - 32) / 8 + 127) / 128;
    EXPECT_EQ(bo::getLE32(&b[0x24]), fatSize);
    EXPECT_EQ(b[0x40], 0x80);
    EXPECT_EQ(b[0x42], 0x29);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(b[0x47 + i], 0) << i;
    EXPECT_EQ(std::memcmp(&b[0x52], "FAT32   ", 8), 0);
    const uint32_t limit = (v - 2 * fatSize - 32) / 8 + 2;
    EXPECT_EQ(image.clusterLimit(), limit);
    EXPECT_EQ(image.rootEntries(), 128u);

    auto info = sector(image, 64);
    EXPECT_EQ(std::memcmp(&info[0], "RRaA", 4), 0);
    EXPECT_EQ(bo::getLE32(&info[0x1E8]), limit - 3);
    EXPECT_EQ(bo::getLE32(&info[0x1EC]), 3u);
    // The backup boot area keeps the template's unknown counts.
    auto backupInfo = sector(image, 63 + 7);
    EXPECT_EQ(bo::getLE32(&backupInfo[0x1E8]), 0xFFFFFFFFu);
    EXPECT_EQ(sector(image, 63 + 6), b);
    EXPECT_EQ(sector(image, 63 + 2)[0x1FE], 0x55);

    // The copy behind the partition table describes the same FATs from 32.
    for (uint32_t i : {0u, 6u}) {
        auto c = sector(image, 32 + i);
        EXPECT_EQ(bo::getLE16(&c[0x0E]), 63);
        EXPECT_EQ(bo::getLE32(&c[0x1C]), 32u);
        EXPECT_EQ(32 + bo::getLE16(&c[0x0E]), 63 + bo::getLE16(&b[0x0E]));
    }
    EXPECT_EQ(sector(image, 33), info);

    auto f = sector(image, 63 + 32);
    EXPECT_EQ(bo::getLE32(&f[0]), 0x0FFFFFF8u);
    EXPECT_EQ(bo::getLE32(&f[4]), 0x0FFFFFFFu);
    EXPECT_EQ(bo::getLE32(&f[8]), 0x0FFFFFFFu);
    EXPECT_EQ(sector(image, 63 + 32 + fatSize), f); // the second FAT
    checkWithTools(image);
}

TEST(FatBuilder, ImageCoversTheSystemAreaAndMemoryStaysSmall) {
    FatImage image;
    // The first area's image is never shorter than 6144 sectors, later ones 3072.
    build(image, kLayoutNoTable, 2'000'000, 6144);
    EXPECT_EQ(image.imageSectors(), 6144u);
    build(image, kLayoutNoTable, 2'000'000, 3072);
    EXPECT_EQ(image.imageSectors(), 3072u);

    // A 64 GiB FAT32 area: FATs of 131,072 sectors each, almost all zero, must
    // all reach the device but not be held in memory.
    const uint32_t area = 134'217'728;
    build(image, kLayoutNoTable, area);
    ASSERT_EQ(image.kind(), FatKind::Fat32);
    EXPECT_EQ(image.imageSectors(), image.systemEnd());
    EXPECT_EQ(image.systemEnd(), 63 + 32 + 2 * image.geometry().fatSectors + 8);
    EXPECT_GT(image.geometry().fatSectors, 100'000u);
    EXPECT_LT(image.storedSectors(), 32u);
    EXPECT_EQ(image.freeClusters(), uint64_t(image.clusterLimit()) - 3);
    checkWithTools(image);

    // The largest area the disk's 32-bit capacity can name still has a FAT that
    // covers every cluster and a cluster count FAT32 allows.
    build(image, kLayoutNoTable, 0x7FFFFFFF);
    EXPECT_LE(image.clusterLimit(), image.geometry().fatSectors * 128);
    EXPECT_LT(image.clusterLimit() - 2, 0x0FFFFFF5u);
    EXPECT_LT(image.storedSectors(), 32u);
}

TEST(FatBuilder, RebuildingDiscardsThePreviousArea) {
    FatImage image;
    build(image, kLayoutTable63, 8'000'000);
    uint8_t junk[100] = {1, 2, 3};
    ASSERT_EQ(AddFileToImage(image, junk, sizeof junk, "A.BIN"), 1);
    build(image, kLayoutNoTable, 3000, 3072);
    EXPECT_EQ(image.kind(), FatKind::Fat12);
    EXPECT_EQ(image.imageSectors(), 3072u);
    // Only the boot sector and the two FAT starts (one stored sector) remain.
    EXPECT_EQ(image.storedSectors(), 2u);
    for (uint32_t s = 1; s < 3072; ++s)
        if (s != 1 && s != 1 + image.geometry().fatSectors) {
            EXPECT_EQ(image.sectorData(s), nullptr) << s;
        }
}

// --- WriteImageToDevice ---------------------------------------------------------------

namespace {

struct Recorder {
    std::vector<std::array<uint8_t, 12>> cdbs;
    std::vector<uint8_t> written; // every data byte in order
    std::vector<std::pair<int32_t, std::string>> progress;
    int failAt = -1; // 0-based command that fails
};
Recorder *gRec = nullptr;

int32_t fakeWriteScsi(const uint8_t *cdb, const void *data, uint32_t length) {
    std::array<uint8_t, 12> c;
    std::memcpy(c.data(), cdb, 12);
    gRec->cdbs.push_back(c);
    const uint8_t *p = static_cast<const uint8_t *>(data);
    gRec->written.insert(gRec->written.end(), p, p + length);
    // Only the low 16 bits count: 0x10000 is a failure.
    return int(gRec->cdbs.size()) - 1 == gRec->failAt ? 0x10000 : 1;
}

int32_t fakeProgress(int32_t percent, const char *text) {
    gRec->progress.emplace_back(percent, text);
    return 0;
}

struct WriterFixture : ::testing::Test {
    Recorder rec;
    TransportOps savedOps;
    FormatProgressCallback savedProgress;
    void SetUp() override {
        gRec = &rec;
        savedOps = state().ops;
        savedProgress = state().Progress;
        state().ops.WriteScsi = fakeWriteScsi;
        state().Progress = fakeProgress;
        state().LastError = 0;
    }
    void TearDown() override {
        state().ops = savedOps;
        state().Progress = savedProgress;
        gRec = nullptr;
    }
};

} // namespace

TEST_F(WriterFixture, SendsTheWholeImageIn128SectorCommandsWithOneReportEach) {
    FatImage image;
    build(image, kLayoutNoTable, 1'000'000);
    uint8_t data[3000];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = uint8_t(i * 7 + 1);
    ASSERT_EQ(AddFileToImage(image, data, sizeof data, "DATA.BIN"), 1);
    ASSERT_EQ(image.imageSectors(), 6144u);

    ASSERT_EQ(WriteImageToDevice(image, 6144, 1000), 1);
    ASSERT_EQ(rec.cdbs.size(), 48u);
    ASSERT_EQ(rec.progress.size(), 48u);
    for (uint32_t k = 0; k < 48; ++k) {
        const auto &c = rec.cdbs[k];
        EXPECT_EQ(c[0], 0x2A);
        EXPECT_EQ(bo::getBE32(&c[2]), 1000 + k * 128);
        EXPECT_EQ(bo::getBE16(&c[7]), 128);
        EXPECT_EQ(c[1] | c[6] | c[9] | c[10] | c[11], 0);
        EXPECT_EQ(rec.progress[k].first, int32_t(k * 25 / 12));
        EXPECT_EQ(rec.progress[k].second, "Building file system--");
    }
    // Byte for byte the image, zero sectors included.
    ASSERT_EQ(rec.written.size(), 6144u * 512);
    for (uint32_t s = 0; s < 6144; ++s) {
        auto expect = sector(image, s);
        ASSERT_EQ(std::memcmp(rec.written.data() + size_t(s) * 512, expect.data(), 512), 0) << s;
    }
    EXPECT_EQ(state().LastError, 0);
}

TEST_F(WriterFixture, ShortLastCommandAndFailureStopWithCode10) {
    FatImage image;
    build(image, kLayoutNoTable, 5000, 300);
    ASSERT_EQ(WriteImageToDevice(image, 300, 0), 1);
    ASSERT_EQ(rec.cdbs.size(), 3u);
    EXPECT_EQ(bo::getBE16(&rec.cdbs[2][7]), 300 - 256);
    EXPECT_EQ(rec.written.size(), 300u * 512);

    rec = Recorder{};
    rec.failAt = 1;
    EXPECT_EQ(WriteImageToDevice(image, 300, 0), 0);
    EXPECT_EQ(state().LastError, QUENDAL_ERR_DATA_WRITE);
    EXPECT_EQ(rec.cdbs.size(), 2u);
    // The failed command is still reported.
    EXPECT_EQ(rec.progress.size(), 2u);
}
