// Volume discovery end to end, through the exports only, against the emulated
// flash disk and the drive map it publishes: a secure disk formatted here is
// found again after the reset (by its boot sector and by the login volume's
// size), a login switches the same letter to the secure area, and where raw
// access is refused the login file lands on the login volume, readable by
// mtools, and logs the device in.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "FlashEmulator.h"
#include "FatTools.h"
#include "QuendalLib.h"
#include "byteorder.h"

using testsupport::lib;
using testsupport::TempDir;

namespace {

constexpr const char kPassword[] = "Open Sesame 7";

struct MapLine {
    std::string source;
    uint64_t offset = 0, length = 0;
};

// The drive map line of a letter, as the emulator published it.
bool mapLine(const std::string &disk, char letter, MapLine *out) {
    std::ifstream in(flashemu::drivesPath(disk));
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 3 || line[0] != letter || line[1] != ':') continue;
        std::istringstream f(line.substr(3));
        std::string offset, length;
        std::getline(f, out->source, '\t');
        // A relative source lies in the map's own folder.
        if (std::filesystem::path(out->source).is_relative())
            out->source = (std::filesystem::path(flashemu::drivesPath(disk)).parent_path() / out->source).string();
        std::getline(f, offset, '\t');
        std::getline(f, length, '\t');
        out->offset = std::stoull(offset);
        out->length = std::stoull(length);
        return true;
    }
    return false;
}

std::vector<uint8_t> readBytes(const std::string &path, uint64_t offset, size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::vector<uint8_t> out(n);
    in.read(reinterpret_cast<char *>(out.data()), std::streamsize(n));
    out.resize(size_t(in.gcount()));
    return out;
}

// MD5 of kPassword (RFC 1321), taken with md5sum(1).
constexpr const char kPasswordMd5[] = "e68427b3742474c3620bdd62da8ad204";

// One emulated disk and private temporary directory per case; the library is
// loaded afresh through its exports.
class VolumesOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        flashemu::DiskOptions options;
        options.sectors = 120'000;
        std::string error;
        ASSERT_TRUE(flashemu::createDisk(disk.str(), options, &error)) << error;
        testsupport::setEnv("FLASHDISK_EMULATOR", disk.str());
        testsupport::unsetEnv("FLASHDISK_DRIVES");
        userTemp.emplace(temp.str());
        ASSERT_EQ(lib().LoadDiskLib(), 1);
    }
    void TearDown() override {
        lib().FreeFlashDisk();
        lib().FreeDiskLib();
        testsupport::unsetEnv("FLASHDISK_EMULATOR");
        userTemp.reset();
    }

    int32_t open() {
        InitDiskParams params{};
        int32_t r = lib().InitFlashDisk(&params);
        if (r == 0) {
            lib().InitVariable();
            uint8_t table[512];
            lib().GetConfigTable(table);
            lib().UpdateParam();
        }
        return r;
    }

    // Secure disk: 2500-sector login area, a secure area, and the rest public.
    void formatSecure() {
        ASSERT_EQ(open(), 0);
        FormatSettings s{};
        s.areaSize[0] = 2500;
        s.areaSize[1] = 40'000;
        int32_t capacity = lib().GetDiskCapacity();
        ASSERT_GT(capacity, 42'500 + 1000);
        s.areaSize[2] = uint32_t(capacity) - 42'500;
        s.mode = QUENDAL_MODE_SECURE;
        std::strcpy(s.password, kPassword);
        s.areaCount = 3;
        ASSERT_EQ(lib().FormatDisk(&s, nullptr), 1) << "error " << lib().GetErrorCode();
    }

    TempDir disk, temp;
    std::optional<testsupport::ScopedUserTemp> userTemp;
};

} // namespace

TEST_F(VolumesOnDisk, SecureDiskIsFoundAfterTheResetAndLoginSwitchesTheLetter) {
    formatSecure();
    char drive[4] = "zz";
    // Dismounted at the end of the format: nothing to find until the reset.
    EXPECT_EQ(lib().WaitDiskResume(drive, 1000), 0);
    EXPECT_EQ(lib().GetErrorCode(), QUENDAL_ERR_RESUME_TIMEOUT);

    ASSERT_EQ(lib().ResetDisk(), 1);
    ASSERT_EQ(lib().WaitDiskResume(drive, 2000), 1);
    EXPECT_STREQ(drive, "E:");
    std::strcpy(drive, "zz");
    ASSERT_EQ(lib().GetSecureDiskVolume(drive), 1);
    EXPECT_STREQ(drive, "E:");
    EXPECT_EQ(lib().IsLocalDisk(), 0);

    MapLine before;
    ASSERT_TRUE(mapLine(disk.str(), 'E', &before));
    EXPECT_LT(before.offset, 2500u * 512);

    ASSERT_EQ(open(), 0); // read the new table
    EXPECT_EQ(lib().VerifyPassword("open sesame 7", 1), 0);
    EXPECT_FALSE(flashemu::loggedIn(disk.str()));
    ASSERT_EQ(lib().VerifyPassword(kPassword, 1), 1);
    EXPECT_TRUE(flashemu::loggedIn(disk.str()));

    // E: now shows area 1: its boot sector lies inside the secure area and the
    // login volume is gone from the drive table.
    MapLine after;
    ASSERT_TRUE(mapLine(disk.str(), 'E', &after));
    EXPECT_GE(after.offset, 2500u * 512);
    EXPECT_LT(after.offset, (2500u + 40'000u) * 512);
    std::vector<uint8_t> boot = readBytes(after.source, after.offset, 512);
    ASSERT_EQ(boot.size(), 512u);
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
    EXPECT_EQ(lib().GetSecureDiskVolume(drive), 0);
    EXPECT_STREQ(drive, "");
    // ...and the rebuilt first area is no longer what E: shows.
    EXPECT_EQ(lib().WaitDiskResume(drive, 1000), 0);
}

TEST_F(VolumesOnDisk, WithRawAccessRefusedTheLoginFileLogsTheDeviceIn) {
    formatSecure();
    ASSERT_EQ(lib().ResetDisk(), 1);
    lib().FreeFlashDisk();
    // What the login volume holds before any login file: the files the format
    // copied beside the program (PWD) are there too.
    const std::string cut = temp.str() + "/login.vol";
    auto fsckCounts = [&](const MapLine &volume, int *files, int *clusters) {
        std::vector<uint8_t> vol = readBytes(volume.source, volume.offset, size_t(volume.length));
        std::ofstream(cut, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(vol.data()), std::streamsize(vol.size()));
        std::string fsck;
        fattools::fsckProblems(cut, true, nullptr, &fsck);
        size_t at = fsck.find(" files, ");
        if (at == std::string::npos) return fsck;
        size_t start = fsck.rfind(' ', at - 1) + 1;
        *files = std::stoi(fsck.substr(start, at - start));
        *clusters = std::stoi(fsck.substr(at + 8));
        return fsck;
    };
    MapLine fresh;
    ASSERT_TRUE(mapLine(disk.str(), 'E', &fresh));
    int filesBefore = -1, clustersBefore = -1;
    fsckCounts(fresh, &filesBefore, &clustersBefore);
    ASSERT_GE(filesBefore, 0);

    flashemu::Faults faults;
    faults.refuseRawAccess = true;
    ASSERT_TRUE(flashemu::setFaults(disk.str(), faults));
    ASSERT_EQ(open(), 2);
    EXPECT_EQ(lib().VerifyPassword(kPassword, 0), 0) << "nothing to compare with on this path";

    // A wrong password is written too; the device does not take it.
    ASSERT_EQ(lib().VerifyPassword("wrong", 1), 1);
    EXPECT_FALSE(flashemu::loggedIn(disk.str()));

    MapLine login;
    ASSERT_TRUE(mapLine(disk.str(), 'E', &login));
    ASSERT_EQ(lib().VerifyPassword(kPassword, 1), 1);
    EXPECT_TRUE(flashemu::loggedIn(disk.str()));

    // The file in the login volume's root, as any FAT reader sees it.
    std::string listing = fattools::mdir(login.source, login.offset, true).output;
    EXPECT_NE(listing.find("LOG      LOG       512"), std::string::npos) << listing;
    std::string content;
    ASSERT_TRUE(fattools::mtype(login.source, login.offset, "LOG.LOG", &content));
    ASSERT_EQ(content.size(), 512u);
    const uint8_t *c = reinterpret_cast<const uint8_t *>(content.data());
    EXPECT_EQ(bo::getLE32(c), 0xA5A5A5A5u);
    for (size_t i = 4; i < 16; ++i) EXPECT_EQ(c[i], 0) << i;
    for (size_t i = 32; i < 512; ++i) EXPECT_EQ(c[i], 0) << i;
    char hex[33] = {};
    for (size_t i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", c[16 + i]);
    EXPECT_EQ(std::string(hex), kPasswordMd5);
    // The volume stays sound after the file was written into it twice: one
    // file of one cluster more, the first, wrong file's cluster given back.
    int filesAfter = -1, clustersAfter = -1;
    std::string fsck = fsckCounts(login, &filesAfter, &clustersAfter);
    EXPECT_EQ(filesAfter, filesBefore + 1) << fsck;
    EXPECT_EQ(clustersAfter, clustersBefore + 1) << fsck;
    EXPECT_NE(fsck.find("/2451 clusters"), std::string::npos) << fsck;
    for (const char *complaint : {"lost", "differ", "Free cluster", "Cluster ", "FAT"})
        EXPECT_EQ(fsck.find(complaint), std::string::npos) << complaint << "\n" << fsck;
}

TEST_F(VolumesOnDisk, LoginByFileWithoutALoginVolumeRecordsCode16) {
    ASSERT_EQ(open(), 0);
    lib().FreeFlashDisk();
    flashemu::Faults faults;
    faults.refuseRawAccess = true;
    ASSERT_TRUE(flashemu::setFaults(disk.str(), faults));
    ASSERT_EQ(open(), 2);
    // A factory-fresh disk is one plain volume, not of the login size.
    EXPECT_EQ(lib().VerifyPassword(kPassword, 1), 0);
    EXPECT_EQ(lib().GetErrorCode(), QUENDAL_ERR_NO_LOGIN_VOLUME);
    EXPECT_FALSE(flashemu::loggedIn(disk.str()));
}
