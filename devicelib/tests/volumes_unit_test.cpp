// Volume discovery against drive maps written by the test: the login volume by
// its size, the rebuilt volume by its boot sector and the reference image, the
// reset wait's passes and pauses (on a replaced clock), the table queries and
// the login file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FatImage.h"
#include "Internal.h"
#include "FatTools.h"
#include "QuendalLib.h"
#include "LibraryState.h"
#include "Volumes.h"
#include "byteorder.h"
#include "file_io.h"
#include "table_layout.h"

namespace fs = std::filesystem;
using namespace quendal;

namespace {

using testsupport::TempDir;

using Sector = std::array<uint8_t, 512>;

void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// A FAT12 boot sector: 1 reserved sector, two FATs of fatSectors, 512 root
// entries, clusters of one sector.
Sector bootSector(uint16_t totalSectors, uint16_t fatSectors, uint8_t serialSeed = 0) {
    Sector s{};
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    std::memcpy(&s[3], "MSWIN4.1", 8);
    bo::putLE16(&s[11], 512);
    s[13] = 1;
    bo::putLE16(&s[14], 1);
    s[16] = 2;
    bo::putLE16(&s[17], 512);
    bo::putLE16(&s[19], totalSectors);
    s[21] = 0xF8;
    bo::putLE16(&s[22], fatSectors);
    bo::putLE32(&s[39], 0x12345600u + serialSeed);
    std::memcpy(&s[43], "NO NAME    FAT12   ", 19);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::string sectorFile(const TempDir &dir, const std::string &name, const Sector &s) {
    std::string path = dir.str() + "/" + name;
    writeFile(path, std::vector<uint8_t>(s.begin(), s.end()));
    return path;
}

std::string mapLine(char letter, const std::string &source, uint64_t offset = 0) {
    return std::string(1, letter) + ":\t" + source + "\t" + std::to_string(offset) + "\t0\trw\n";
}

// Each case gets its own drive map and temporary directory, a ready transport
// and a counting clock.
class VolumesTest : public ::testing::Test {
protected:
    static std::vector<uint32_t> pauses;
    static std::function<void()> onPause;
    static void countingSleep(uint32_t ms) {
        pauses.push_back(ms);
        if (onPause) onPause();
    }
    static int32_t nudges;
    static int32_t fakeGetDiskVolume(uint32_t value) {
        ++nudges;
        return int32_t(value) + 0x100;
    }

    void SetUp() override {
        state() = LibraryState{};
        state().TransportReady = true;
        pauses.clear();
        onPause = nullptr;
        nudges = 0;
        previousSleep = setResumeSleep(countingSleep);
        testsupport::unsetEnv("FLASHDISK_EMULATOR");
        testsupport::setEnv("FLASHDISK_DRIVES", map);
        fs::create_directory(tmp.path / "t");
        fs::permissions(tmp.path / "t", fs::perms::owner_all, fs::perm_options::replace);
        userTemp.emplace(tmp.str() + "/t");
        writeMap("");
    }
    void TearDown() override {
        setResumeSleep(previousSleep);
        testsupport::unsetEnv("FLASHDISK_DRIVES");
        userTemp.reset();
        state() = LibraryState{};
    }
    void writeMap(const std::string &text) {
        std::ofstream out(map, std::ios::trunc);
        out << text;
    }
    void writeReference(const std::vector<uint8_t> &bytes) { writeFile(tmp.str() + "/t/img0.img", bytes); }

    TempDir tmp;
    std::string map = tmp.str() + "/drives";
    std::optional<testsupport::ScopedUserTemp> userTemp;
    SleepFn previousSleep = nullptr;
};
std::vector<uint32_t> VolumesTest::pauses;
std::function<void()> VolumesTest::onPause;
int32_t VolumesTest::nudges = 0;

// 2500 sectors with FATs of 10 sectors: 2447 clusters, the maker's login size.
const Sector kMakerLogin = bootSector(2500, 10);
// 2500 sectors with FATs of 8 sectors: 2451 clusters, the volume built here.
const Sector kBuiltLogin = bootSector(2500, 8);
// One cluster more than the maker's size.
const Sector kLoginPlus512 = bootSector(2501, 10);
const Sector kOther = bootSector(20000, 59);

} // namespace

TEST_F(VolumesTest, LoginVolumeIsTheLowestDriveAboveCOfEitherLoginSize) {
    std::string maker = sectorFile(tmp, "maker.img", kMakerLogin);
    std::string built = sectorFile(tmp, "built.img", kBuiltLogin);
    std::string plus = sectorFile(tmp, "plus.img", kLoginPlus512);
    std::string other = sectorFile(tmp, "other.img", kOther);
    char drive[4] = "zz";

    writeMap(mapLine('C', maker) + mapLine('D', other) + mapLine('E', maker));
    EXPECT_EQ(GetSecureDiskVolume(drive), 1);
    EXPECT_STREQ(drive, "E:");

    writeMap(mapLine('C', maker) + mapLine('D', plus) + mapLine('E', other));
    std::strcpy(drive, "zz");
    EXPECT_EQ(GetSecureDiskVolume(drive), 0);
    EXPECT_STREQ(drive, "");

    // Two of the login size: the lower letter wins, whichever size it has.
    writeMap(mapLine('F', maker) + mapLine('G', built));
    EXPECT_EQ(GetSecureDiskVolume(drive), 1);
    EXPECT_STREQ(drive, "F:");
    writeMap(mapLine('F', built) + mapLine('G', maker));
    EXPECT_EQ(GetSecureDiskVolume(drive), 1);
    EXPECT_STREQ(drive, "F:");

    // Drives whose size cannot be had are passed over.
    std::string garbage = tmp.str() + "/garbage.img";
    writeFile(garbage, std::vector<uint8_t>(4096, 0x6B));
    writeMap(mapLine('D', tmp.str() + "/missing.img") + mapLine('E', garbage) + mapLine('F', tmp.str() + "/short.img") +
             mapLine('H', built));
    writeFile(tmp.str() + "/short.img", {0xEB, 0x3C});
    EXPECT_EQ(GetSecureDiskVolume(drive), 1);
    EXPECT_STREQ(drive, "H:");

    std::strcpy(drive, "zz");
    state().TransportReady = false;
    EXPECT_EQ(GetSecureDiskVolume(drive), 0);
    EXPECT_STREQ(drive, "zz") << "the buffer is left alone";
    EXPECT_EQ(state().LastError, 0);
}

TEST_F(VolumesTest, DriveIndexesRiseLeaveOutAAndEndInZero) {
    std::array<uint8_t, 32> list;
    list.fill(0xEE);
    EXPECT_FALSE(ListDriveIndexes(list));
    EXPECT_EQ(list, (std::array<uint8_t, 32>{}));

    std::string other = sectorFile(tmp, "other.img", kOther);
    writeMap(mapLine('Z', other) + mapLine('C', other) + mapLine('E', other));
    ASSERT_TRUE(ListDriveIndexes(list));
    std::array<uint8_t, 32> expected{};
    expected[0] = 2;
    expected[1] = 4;
    expected[2] = 25;
    EXPECT_EQ(list, expected);
}

TEST_F(VolumesTest, ReferenceIsTheBootSectorOrThePartitionItPointsTo) {
    Sector boot = bootSector(20000, 59, 7);
    Sector out;

    // Plain boot sector (EB 3C 90), even with 0x80 at 446 it is not followed.
    Sector plain = boot;
    plain[446] = 0x80;
    bo::putLE32(&plain[454], 1);
    writeReference(std::vector<uint8_t>(plain.begin(), plain.end()));
    ASSERT_TRUE(ReadReferenceBootSector(out.data()));
    EXPECT_EQ(out, plain);

    // FA 33 ... 0x80 at 446, start 32 at 454: the boot sector is at sector 32.
    Sector mbr{};
    mbr[0] = 0xFA;
    mbr[1] = 0x33;
    mbr[446] = 0x80;
    bo::putLE32(&mbr[454], 32);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    std::vector<uint8_t> image(mbr.begin(), mbr.end());
    image.resize(32 * 512, 0xCC);
    image.insert(image.end(), boot.begin(), boot.end());
    writeReference(image);
    ASSERT_TRUE(ReadReferenceBootSector(out.data()));
    EXPECT_EQ(out, boot);

    // 0x33 in byte 1 alone marks a partition table too.
    image[0] = 0x00;
    image[446] = 0x00;
    writeReference(image);
    ASSERT_TRUE(ReadReferenceBootSector(out.data()));
    EXPECT_EQ(out, boot);

    // Loader code that starts otherwise (33 C0): a sector without a FAT boot
    // record but with a first partition entry is still a partition table.
    image[0] = 0x33;
    image[1] = 0xC0;
    image[450] = 0x06;
    writeReference(image);
    ASSERT_TRUE(ReadReferenceBootSector(out.data()));
    EXPECT_EQ(out, boot);
    image[450] = 0x00; // no partition type: taken as it is
    writeReference(image);
    ASSERT_TRUE(ReadReferenceBootSector(out.data()));
    EXPECT_TRUE(std::equal(out.begin(), out.end(), image.begin()));

    // A partition start past the end of the file, no 55 AA, a short file, no file.
    image[1] = 0x33;
    image.resize(32 * 512);
    writeReference(image);
    EXPECT_FALSE(ReadReferenceBootSector(out.data()));
    plain[511] = 0x00;
    writeReference(std::vector<uint8_t>(plain.begin(), plain.end()));
    EXPECT_FALSE(ReadReferenceBootSector(out.data()));
    writeReference(std::vector<uint8_t>(boot.begin(), boot.begin() + 300));
    EXPECT_FALSE(ReadReferenceBootSector(out.data()));
    fs::remove(tmp.str() + "/t/img0.img");
    EXPECT_FALSE(ReadReferenceBootSector(out.data()));
}

TEST_F(VolumesTest, ResumedVolumeMatchesAllButTheFirstTwelveBytes) {
    Sector boot = bootSector(20000, 59, 9);
    writeReference(std::vector<uint8_t>(boot.begin(), boot.end()));

    Sector renamed = boot; // another jump and OEM name: still the same volume
    renamed[0] = 0xE9;
    std::memcpy(&renamed[3], "mkfs.fat", 8);
    Sector differs = boot;
    differs[12] ^= 0xFF; // bytes per sector's high byte: a different volume
    Sector otherSerial = bootSector(20000, 59, 10);

    writeMap(mapLine('D', sectorFile(tmp, "d.img", differs)) + mapLine('E', tmp.str() + "/missing.img") +
             mapLine('F', sectorFile(tmp, "f.img", otherSerial)) + mapLine('G', sectorFile(tmp, "g.img", renamed), 0) +
             mapLine('H', sectorFile(tmp, "h.img", boot)));
    char drive[4] = "zz";
    ASSERT_TRUE(FindResumedVolume(drive));
    EXPECT_STREQ(drive, "G:");

    // The same volume behind a partition table: the map points at its boot sector.
    std::vector<uint8_t> disk(63 * 512, 0);
    disk.insert(disk.end(), renamed.begin(), renamed.end());
    writeFile(tmp.str() + "/disk.img", disk);
    writeMap(mapLine('D', sectorFile(tmp, "d.img", differs)) + mapLine('E', tmp.str() + "/disk.img", 63 * 512));
    ASSERT_TRUE(FindResumedVolume(drive));
    EXPECT_STREQ(drive, "E:");

    writeMap(mapLine('D', sectorFile(tmp, "d.img", differs)));
    EXPECT_FALSE(FindResumedVolume(drive));
}

TEST_F(VolumesTest, ResetWaitMakesOnePassPerSecondEachFailedOneFollowedByATwoSecondPause) {
    Sector boot = bootSector(20000, 59, 3);
    writeReference(std::vector<uint8_t>(boot.begin(), boot.end()));
    std::string other = sectorFile(tmp, "other.img", kOther);
    writeMap(mapLine('E', other));
    char drive[4] = "zz";

    EXPECT_EQ(WaitDiskResume(drive, 10000), 0);
    EXPECT_STREQ(drive, "");
    EXPECT_EQ(pauses, std::vector<uint32_t>(10, 2000)) << "10 failed passes, each followed by a pause";
    EXPECT_EQ(state().LastError, QUENDAL_ERR_RESUME_TIMEOUT);

    // 10999 ms still gives 10 passes; below 1000 ms none at all.
    pauses.clear();
    EXPECT_EQ(WaitDiskResume(drive, 10999), 0);
    EXPECT_EQ(pauses.size(), 10u);
    pauses.clear();
    state().LastError = 0;
    EXPECT_EQ(WaitDiskResume(drive, 999), 0);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(state().LastError, QUENDAL_ERR_RESUME_TIMEOUT);

    // The volume shows up during the third pause: found on the fourth pass.
    pauses.clear();
    std::string volume = sectorFile(tmp, "volume.img", boot);
    onPause = [&] {
        if (pauses.size() == 3) writeMap(mapLine('E', other) + mapLine('F', volume));
    };
    EXPECT_EQ(WaitDiskResume(drive, 10000), 1);
    EXPECT_STREQ(drive, "F:");
    EXPECT_EQ(pauses.size(), 3u);
}

TEST_F(VolumesTest, ResetWaitWithoutAUsableReferenceRunsOutWithCode12) {
    Sector boot = bootSector(20000, 59, 3);
    writeMap(mapLine('E', sectorFile(tmp, "e.img", boot)));
    char drive[4];
    for (const std::vector<uint8_t> &reference :
         {std::vector<uint8_t>{}, std::vector<uint8_t>(boot.begin(), boot.begin() + 100),
          std::vector<uint8_t>(512, 0x00)}) {
        if (reference.empty())
            fs::remove(tmp.str() + "/t/img0.img");
        else
            writeReference(reference);
        pauses.clear();
        state().LastError = 0;
        EXPECT_EQ(WaitDiskResume(drive, 3000), 0);
        EXPECT_EQ(pauses.size(), 3u);
        EXPECT_EQ(state().LastError, QUENDAL_ERR_RESUME_TIMEOUT);
    }

    writeReference(std::vector<uint8_t>(boot.begin(), boot.end()));
    std::strcpy(drive, "zz");
    state().LastError = 0;
    state().TransportReady = false;
    EXPECT_EQ(WaitDiskResume(drive, 3000), 0);
    EXPECT_STREQ(drive, "zz");
    EXPECT_EQ(state().LastError, 0);
    EXPECT_FALSE(FindResumedVolume(drive));
}

TEST_F(VolumesTest, LocalDiskOnlyForTheHddBootTable) {
    EXPECT_EQ(IsLocalDisk(), 0) << "no table read yet: the zero copy means nothing";
    state().DiskCapacity = 2'000'000;
    for (uint8_t mode = 0; mode <= 5; ++mode) {
        SCOPED_TRACE(int(mode));
        FormatSettings settings{};
        settings.areaSize[0] = 2500;
        settings.areaSize[1] = 100000;
        settings.areaCount = 3;
        settings.mode = mode;
        std::array<uint8_t, 512> table{};
        table[cfgtbl::kRemovable] = mode == 2 ? 0x80 : 0x00; // the opposite of what it should become
        ASSERT_EQ(CreateNewCfgtblV2(table.data(), &settings), 1);
        state().TableCopy = table;
        state().VersionTableSeen = true;
        EXPECT_EQ(IsLocalDisk(), mode == QUENDAL_MODE_HDD_BOOT ? 1 : 0);
        state().TransportReady = false;
        EXPECT_EQ(IsLocalDisk(), 0);
        state().TransportReady = true;
    }
}

TEST_F(VolumesTest, GetVolumePassesTheTransportsAnswerOn) {
    EXPECT_EQ(GetVolume(5), 0);
    state().ops.GetDiskVolume = fakeGetDiskVolume;
    EXPECT_EQ(GetVolume(5), 0x105);
    EXPECT_EQ(nudges, 1);
}

TEST_F(VolumesTest, LoginFileLandsInTheVolumesRootWithoutATransportCall) {
    std::string vol = tmp.str() + "/login.vol";
    std::string out;
#ifdef _WIN32
    // mkfs.fat cannot run from a Windows program; the library's own builder
    // makes the FAT12 volume of the same size, and the independent reader
    // checks it before and after.
    {
        FatImage image;
        ASSERT_TRUE(BuildFatImage(image, kLayoutNoTable, 1250, 1250));
        fileio::File f(vol, fileio::File::Mode::CreateReadWrite);
        ASSERT_TRUE(f.resize(1250 * 512));
        for (uint32_t s = 0; s < image.imageSectors(); ++s) {
            if (const uint8_t *p = image.sectorData(s)) {
                ASSERT_TRUE(f.writeAt(uint64_t(s) * 512, p, 512));
            }
        }
        ASSERT_TRUE(f.close());
        std::string report;
        ASSERT_EQ(fattools::fsckProblems(vol, true, nullptr, &report), std::vector<std::string>{}) << report;
    }
#else
    int rc = std::system(("mkfs.fat -C -F 12 -i 1 " + vol + " 1250 >/dev/null 2>&1").c_str());
    ASSERT_EQ(rc, 0);
#endif
    state().ops.GetDiskVolume = fakeGetDiskVolume;
    writeMap(mapLine('E', vol));

    std::array<uint8_t, 512> record{};
    record[0] = record[1] = record[2] = record[3] = 0xA5;
    for (int i = 16; i < 32; ++i) record[i] = uint8_t(i * 11);
    ASSERT_TRUE(writeLoginFile("E:", record.data()));
    EXPECT_EQ(nudges, 0) << "the device takes the file from its writes; the library asks nothing more";
    std::string content;
    ASSERT_TRUE(fattools::mtype(vol, 0, "LOG.LOG", &content));
    EXPECT_EQ(std::vector<uint8_t>(content.begin(), content.end()), std::vector<uint8_t>(record.begin(), record.end()));
    std::string report;
    EXPECT_EQ(fattools::fsckProblems(vol, true, nullptr, &report), std::vector<std::string>{}) << report;

    nudges = 0;
    EXPECT_FALSE(writeLoginFile("K:", record.data()));
    EXPECT_FALSE(writeLoginFile("", record.data()));
    EXPECT_EQ(nudges, 0) << "nothing written, nothing to take";
}
