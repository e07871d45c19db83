// The file copy into a built image: 8.3 names, first-fit chains (FAT12 entries
// that share bytes), replacement of a same-named file, FSInfo counts, refusal
// of what does not fit, time stamps, and the folder walk; every volume read
// back by mtools and checked by fsck.fat.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "FatImage.h"
#include "FatTools.h"
#include "QuendalLib.h"
#include "byteorder.h"
#include "file_io.h"

using namespace quendal;
namespace fs = std::filesystem;

namespace {

fat::DateTime fixedClock() { return fat::DateTime{2026, 12, 8, 13, 45, 31}; }

struct ClockFixture : ::testing::Test {
    void SetUp() override { setFileClock(fixedClock); }
    void TearDown() override { setFileClock(nullptr); }
};

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = uint8_t(rng());
    return v;
}

std::vector<uint8_t> entry(const FatImage &image, uint32_t index) {
    std::vector<uint8_t> s(512);
    image.readSector(image.rootDirSector() + index / 16, s.data());
    return std::vector<uint8_t>(s.begin() + (index % 16) * 32, s.begin() + (index % 16) * 32 + 32);
}

uint32_t firstCluster(const FatImage &image, uint32_t index) {
    auto e = entry(image, index);
    return bo::getLE16(&e[0x1A]) | (uint32_t(bo::getLE16(&e[0x14])) << 16);
}

std::vector<uint32_t> chain(const FatImage &image, uint32_t c) {
    std::vector<uint32_t> out;
    while (c >= 2 && c < image.clusterLimit() && out.size() <= image.clusterLimit()) {
        out.push_back(c);
        uint32_t next = image.fatEntry(c);
        if (image.isEndOfChain(next)) break;
        c = next;
    }
    return out;
}

// Writes the volume to a sparse file for the tools.
std::string dumpVolume(const FatImage &image, const std::string &dir) {
    std::string path = dir + "/volume.img";
    fileio::File f(path, fileio::File::Mode::CreateReadWrite);
    EXPECT_TRUE(f.isOpen()) << path;
    EXPECT_TRUE(f.resize(uint64_t(image.geometry().totalSectors) * 512));
    for (uint32_t s = image.volumeStart(); s < image.imageSectors(); ++s)
        if (const uint8_t *p = image.sectorData(s)) {
            EXPECT_TRUE(f.writeAt(uint64_t(s - image.volumeStart()) * 512, p, 512));
        }
    EXPECT_TRUE(f.close());
    return path;
}

void expectSoundVolume(const FatImage &image, const std::string &volume) {
    bool dirty = image.kind() != FatKind::Fat32 && image.sectorData(image.volumeStart())[0x25] == 1;
    std::string out;
    auto problems = fattools::fsckProblems(volume, dirty, nullptr, &out);
    EXPECT_TRUE(problems.empty()) << out;
}

void expectFile(const std::string &volume, const std::string &name, const std::vector<uint8_t> &bytes) {
    std::string got;
    ASSERT_TRUE(fattools::mtype(volume, 0, name, &got)) << name;
    ASSERT_EQ(got.size(), bytes.size()) << name;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), reinterpret_cast<const uint8_t *>(got.data()))) << name;
}

} // namespace

TEST_F(ClockFixture, EntriesChainsAndDataOnEveryKind) {
    for (uint32_t area : {2500u, 1'000'000u, 4'096'001u}) {
        SCOPED_TRACE(area);
        FatImage image;
        ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, area, 6144));
        const uint32_t clusterBytes = image.geometry().sectorsPerCluster * 512;
        auto a = pattern(clusterBytes * 3 + 17, 1);
        auto b = pattern(clusterBytes, 2);
        ASSERT_EQ(AddFileToImage(image, a.data(), uint32_t(a.size()), "first.bin"), 1);
        ASSERT_EQ(AddFileToImage(image, b.data(), uint32_t(b.size()), "second.dat"), 1);
        ASSERT_EQ(AddFileToImage(image, nullptr, 0, "empty"), 1);

        // FAT32 keeps its root directory in cluster 2; files start after it.
        const uint32_t firstFree = image.kind() == FatKind::Fat32 ? 3 : 2;
        EXPECT_EQ(firstCluster(image, 0), firstFree);
        EXPECT_EQ(chain(image, firstFree).size(), 4u);
        EXPECT_EQ(firstCluster(image, 1), firstFree + 4);
        EXPECT_EQ(firstCluster(image, 2), 0u);

        auto e = entry(image, 0);
        EXPECT_EQ(std::string(e.begin(), e.begin() + 11), "FIRST   BIN");
        EXPECT_EQ(e[0x0B], 0x20);
        EXPECT_EQ(bo::getLE32(&e[0x1C]), a.size());
        const uint16_t time = (13 << 11) | (45 << 5) | 15;
        const uint16_t date = ((2026 - 1980) << 9) | (12 << 5) | 8;
        EXPECT_EQ(bo::getLE16(&e[0x16]), time);
        EXPECT_EQ(bo::getLE16(&e[0x18]), date);
        const bool fat32 = image.kind() == FatKind::Fat32;
        EXPECT_EQ(bo::getLE16(&e[0x0E]), fat32 ? time : 0);
        EXPECT_EQ(bo::getLE16(&e[0x10]), fat32 ? date : 0);
        EXPECT_EQ(bo::getLE16(&e[0x12]), fat32 ? date : 0);

        if (fat32) {
            std::vector<uint8_t> info(512);
            image.readSector(image.volumeStart() + 1, info.data());
            EXPECT_EQ(bo::getLE32(&info[0x1E8]), image.clusterLimit() - 3 - 5);
            EXPECT_EQ(bo::getLE32(&info[0x1EC]), 3u + 5);
        }

        testsupport::TempDir dir;
        std::string volume = dumpVolume(image, dir.str());
        expectSoundVolume(image, volume);
        expectFile(volume, "FIRST.BIN", a);
        expectFile(volume, "SECOND.DAT", b);
        expectFile(volume, "EMPTY", {});
    }
}

TEST_F(ClockFixture, Fat12EntriesThatShareBytesKeepTheirNeighbours) {
    // Many one-cluster files interleaved with deletions: every odd and even
    // entry, including those straddling a FAT sector, must keep its neighbour.
    FatImage image;
    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 2500, 6144));
    std::vector<std::vector<uint8_t>> files;
    for (int i = 0; i < 400; ++i) {
        files.push_back(pattern(512 * (1 + i % 3), 100 + i));
        ASSERT_EQ(
            AddFileToImage(image, files.back().data(), uint32_t(files.back().size()), "F" + std::to_string(i) + ".BIN"),
            1);
    }
    // Cluster 341 sits at bytes 511-512: across the first FAT sector's end.
    bool straddles = false;
    for (uint32_t i = 0; i < 400; ++i)
        for (uint32_t c : chain(image, firstCluster(image, i))) straddles |= c == 341;
    EXPECT_TRUE(straddles);

    testsupport::TempDir dir;
    std::string volume = dumpVolume(image, dir.str());
    expectSoundVolume(image, volume);
    for (int i = 0; i < 400; i += 37) expectFile(volume, "F" + std::to_string(i) + ".BIN", files[size_t(i)]);
}

TEST_F(ClockFixture, SameNameReplacesInItsSlotAndFreesTheOldChain) {
    for (uint32_t area : {2500u, 4'200'000u}) {
        SCOPED_TRACE(area);
        FatImage image;
        ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, area, 6144));
        const uint32_t clusterBytes = image.geometry().sectorsPerCluster * 512;
        auto first = pattern(clusterBytes * 5, 7);
        auto other = pattern(100, 8);
        auto second = pattern(clusterBytes * 2 + 1, 9);
        ASSERT_EQ(AddFileToImage(image, first.data(), uint32_t(first.size()), "LONGFILENAME1.TXT"), 1);
        ASSERT_EQ(AddFileToImage(image, other.data(), uint32_t(other.size()), "OTHER"), 1);
        const uint64_t freeBefore = image.freeClusters();
        auto oldChain = chain(image, firstCluster(image, 0));
        ASSERT_EQ(oldChain.size(), 5u);
        ASSERT_EQ(AddFileToImage(image, second.data(), uint32_t(second.size()), "LONGFILENAME2.TXT"), 1);

        auto e = entry(image, 0);
        EXPECT_EQ(std::string(e.begin(), e.begin() + 11), "LONGFILETXT");
        EXPECT_EQ(bo::getLE32(&e[0x1C]), second.size());
        EXPECT_EQ(entry(image, 2)[0], 0); // no second entry
        // First fit reuses the freed clusters; the rest of the old chain is free.
        auto newChain = chain(image, firstCluster(image, 0));
        ASSERT_EQ(newChain.size(), 3u);
        EXPECT_EQ(newChain[0], oldChain[0]);
        for (size_t i = 3; i < oldChain.size(); ++i) EXPECT_EQ(image.fatEntry(oldChain[i]), 0u);
        EXPECT_EQ(image.freeClusters(), freeBefore + 2);
        if (image.kind() == FatKind::Fat32) {
            std::vector<uint8_t> info(512);
            image.readSector(image.volumeStart() + 1, info.data());
            EXPECT_EQ(bo::getLE32(&info[0x1E8]), image.freeClusters());
        }

        testsupport::TempDir dir;
        std::string volume = dumpVolume(image, dir.str());
        expectSoundVolume(image, volume);
        expectFile(volume, "LONGFILE.TXT", second);
        expectFile(volume, "OTHER", other);
    }
}

TEST_F(ClockFixture, WhatDoesNotFitIsRefusedWithoutTakingClusters) {
    FatImage image;
    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 1000, 6144));
    const uint64_t capacity = image.freeClusters() * 512;
    std::vector<uint8_t> big(capacity + 1, 0xAB);
    EXPECT_EQ(AddFileToImage(image, big.data(), uint32_t(big.size()), "BIG"), 0);
    EXPECT_EQ(image.freeClusters(), capacity / 512);
    EXPECT_EQ(entry(image, 0)[0], 0);
    // Exactly the free space fits.
    big.pop_back();
    EXPECT_EQ(AddFileToImage(image, big.data(), uint32_t(big.size()), "BIG"), 1);
    EXPECT_EQ(image.freeClusters(), 0u);
    EXPECT_EQ(AddFileToImage(image, big.data(), 1, "MORE"), 0);
    // A full root directory refuses a new name.
    FatImage other;
    ASSERT_TRUE(BuildFatImage(other, kLayoutNoTable, 3000, 6144));
    for (int i = 0; i < 512; ++i) ASSERT_EQ(AddFileToImage(other, nullptr, 0, "E" + std::to_string(i)), 1);
    EXPECT_EQ(AddFileToImage(other, nullptr, 0, "ONEMORE"), 0);
    EXPECT_EQ(AddFileToImage(other, nullptr, 0, "E7"), 1); // a replacement still finds its slot
    // Replacing an empty file frees no chain: its first cluster 0 is no cluster,
    // and the reserved entries FAT[0] and FAT[1] keep their ones.
    EXPECT_EQ(other.fatEntry(0), 0xFFFu);
    EXPECT_EQ(other.fatEntry(1), 0xFFFu);
    // Not built: nothing is added.
    FatImage none;
    EXPECT_EQ(AddFileToImage(none, nullptr, 0, "X"), 0);
}

TEST_F(ClockFixture, ARefusedReplacementLeavesTheFilesAfterItVisible) {
    FatImage image;
    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 1000, 6144));
    auto a = pattern(600, 1), b = pattern(700, 2), c = pattern(800, 3);
    ASSERT_EQ(AddFileToImage(image, a.data(), uint32_t(a.size()), "A.BIN"), 1);
    ASSERT_EQ(AddFileToImage(image, b.data(), uint32_t(b.size()), "B.BIN"), 1);
    ASSERT_EQ(AddFileToImage(image, c.data(), uint32_t(c.size()), "C.BIN"), 1);
    // A.BIN again, too large for the volume: the old A.BIN goes, the others stay.
    std::vector<uint8_t> huge((image.freeClusters() + 3) * image.geometry().sectorsPerCluster * 512, 0x5A);
    EXPECT_EQ(AddFileToImage(image, huge.data(), uint32_t(huge.size()), "A.BIN"), 0);
    EXPECT_EQ(entry(image, 0)[0], 0xE5);
    // A new name refused in that reused deleted slot leaves it deleted.
    EXPECT_EQ(AddFileToImage(image, huge.data(), uint32_t(huge.size()), "E.BIN"), 0);
    EXPECT_EQ(entry(image, 0)[0], 0xE5);
    {
        testsupport::TempDir dir;
        std::string volume = dumpVolume(image, dir.str());
        expectSoundVolume(image, volume);
        expectFile(volume, "B.BIN", b);
        expectFile(volume, "C.BIN", c);
    }
    // The deleted entry is taken again by the next new name; names without a
    // base have no 8.3 form and are left out.
    ASSERT_EQ(AddFileToImage(image, a.data(), uint32_t(a.size()), "D.BIN"), 1);
    const auto reused = entry(image, 0);
    EXPECT_EQ(std::string(reused.begin(), reused.begin() + 11), "D       BIN");
    EXPECT_EQ(AddFileToImage(image, a.data(), uint32_t(a.size()), ""), 0);
    EXPECT_EQ(AddFileToImage(image, a.data(), uint32_t(a.size()), ". ."), 0);
    EXPECT_EQ(entry(image, 3)[0], 0);
    testsupport::TempDir dir;
    std::string volume = dumpVolume(image, dir.str());
    expectSoundVolume(image, volume);
    expectFile(volume, "D.BIN", a);
    expectFile(volume, "C.BIN", c);
}

TEST_F(ClockFixture, ImageGrowsToHoldFilesPastTheMinimum) {
    FatImage image;
    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 200'000, 6144));
    auto data = pattern(8 * 1024 * 1024, 3); // well past 6144 sectors
    ASSERT_EQ(AddFileToImage(image, data.data(), uint32_t(data.size()), "LARGE.BIN"), 1);
    auto c = chain(image, firstCluster(image, 0));
    EXPECT_EQ(image.imageSectors(), image.clusterSector(c.back()) + image.geometry().sectorsPerCluster);
    EXPECT_GT(image.imageSectors(), 6144u);
    testsupport::TempDir dir;
    std::string volume = dumpVolume(image, dir.str());
    expectSoundVolume(image, volume);
    expectFile(volume, "LARGE.BIN", data);
}

TEST_F(ClockFixture, FolderCopySkipsDirectoriesAndScc) {
    testsupport::TempDir dir;
    fs::path folder = dir.path / "PWD";
    fs::create_directories(folder / "sub");
    auto write = [&](const std::string &name, const std::vector<uint8_t> &bytes) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    };
    auto login = pattern(5000, 11);
    auto readme = pattern(10, 12);
    write("login.exe", login);
    write("readme.txt", readme);
    write("LOGIN.scc", pattern(10, 13));
    write("sub/inner.txt", pattern(10, 14));
#ifndef _WIN32
    ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0); // must not block the copy
#endif

    FatImage image;
    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 2500, 6144));
    EXPECT_EQ(CopyFolderToImage(image, folder.string()), 2);
    EXPECT_EQ(CopyFolderToImage(image, (dir.path / "missing").string()), 0);

    std::string volume = dumpVolume(image, dir.str());
    expectSoundVolume(image, volume);
    expectFile(volume, "LOGIN.EXE", login);
    expectFile(volume, "README.TXT", readme);
    auto listing = fattools::mdir(volume, 0);
    EXPECT_EQ(listing.output.find("SCC"), std::string::npos) << listing.output;
    EXPECT_EQ(listing.output.find("SUB"), std::string::npos) << listing.output;
    EXPECT_EQ(listing.output.find("INNER"), std::string::npos) << listing.output;
    EXPECT_EQ(AddHostFile(image, (folder / "absent").string(), "ABSENT"), 0);
}

namespace {

// A folder of host files for the copy, written as given.
struct HostFolder {
    testsupport::TempDir dir;
    fs::path path = dir.path / "PWD";
    HostFolder() { fs::create_directories(path); }
    void write(const std::string &name, const std::vector<uint8_t> &bytes) {
        std::ofstream(path / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    }
};

} // namespace

TEST_F(ClockFixture, FolderNamesThatMeetGetNumericTailsAndForbiddenCharactersGo) {
    HostFolder folder;
    std::map<std::string, std::vector<uint8_t>> expect = {
        {"LONGFI~1.TXT", pattern(700, 21)}, {"LONGFI~2.TXT", pattern(900, 22)}, {"LONGFILE.DOC", pattern(30, 23)},
        {"A_B.TXT", pattern(40, 24)},       {"MYFILE.TXT", pattern(50, 25)},    {"PROFILE", pattern(60, 26)},
        {"README.TXT", pattern(70, 27)},    {"A.B_C", pattern(80, 28)}};
    // Written in the other order: the tails follow the host names, not the listing.
    folder.write("LongFileName2.txt", expect["LONGFI~2.TXT"]);
    folder.write("LongFileName1.txt", expect["LONGFI~1.TXT"]);
    folder.write("LongFileName.docx", expect["LONGFILE.DOC"]);
    folder.write("a+b.txt", expect["A_B.TXT"]);
    folder.write("my file.txt", expect["MYFILE.TXT"]);
    folder.write(".profile", expect["PROFILE"]);
    folder.write("readme.txt", expect["README.TXT"]);
    folder.write("a.b.c", expect["A.B_C"]);

    FatImage image;
    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 2500, 6144));
    EXPECT_EQ(CopyFolderToImage(image, folder.path.string()), 8);
    std::string volume = dumpVolume(image, folder.dir.str());
    expectSoundVolume(image, volume); // no bad short names
    for (const auto &[name, bytes] : expect) expectFile(volume, name, bytes);
}

#ifndef _WIN32
namespace {

std::vector<std::string> rootNames(const FatImage &image) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < image.rootEntries() && entry(image, i)[0] != 0; ++i) {
        const auto e = entry(image, i);
        names.emplace_back(e.begin(), e.begin() + 11);
    }
    return names;
}

} // namespace

TEST_F(ClockFixture, FolderNamesAreUpperCasedByTheUsersCodePage) {
    HostFolder folder;
    folder.write("\xc3\xa9t\xc3\xa9.txt", pattern(10, 31)); // "été": E9 74 E9 in code page 1252
    folder.write("\xe4\xb8\xb1x.txt", pattern(10, 32));     // U+4E31: C9 63 in Big5, its second byte a 'c'
    FatImage image;
    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 2500, 6144));
    {
        testsupport::ScopedEnv locale("LC_ALL", "de_DE.UTF-8");
        EXPECT_EQ(CopyFolderToImage(image, folder.path.string()), 2);
    }
    auto names = rootNames(image);
    std::sort(names.begin(), names.end());
    // Not a character of 1252: replaced, as every character a code page lacks.
    EXPECT_EQ(names, (std::vector<std::string>{"_X      TXT", "\xc9T\xc9     TXT"}));

    ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 2500, 6144));
    {
        testsupport::ScopedEnv locale("LC_ALL", "zh_TW.UTF-8");
        EXPECT_EQ(CopyFolderToImage(image, folder.path.string()), 2);
    }
    names = rootNames(image);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"_T_     TXT", "\xc9\x63X     TXT"}));
    expectSoundVolume(image, dumpVolume(image, folder.dir.str()));
}
#endif
