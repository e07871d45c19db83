// FormatDisk through Quendal.dll against the emulated flash disk: every mode at
// the area-size boundaries, each area cut out of the disk's data image and
// checked by fsck.fat, mtools and sfdisk; the progress reports; the CD-ROM
// image; refusals and an injected write failure; the reference image for the
// reset wait; and what the host sees of the disk after a replug.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "EmulatedDisk.h"
#include "FatTools.h"
#include "file_io.h"

using namespace tabletest;
namespace fs = std::filesystem;

namespace {

using Report = std::pair<int32_t, std::string>;
std::vector<Report> gReports;

int32_t record(int32_t percent, const char *text) {
    gReports.emplace_back(percent, text);
    return 0;
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = uint8_t(rng());
    return v;
}

void writeFile(const fs::path &p, const std::vector<uint8_t> &bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// The folders the library copies from, of this test alone: the format is
// pointed at them through QUENDAL_FORMAT_INPUTS_ENV, so the build's own PWD,
// BOOTFILES and Cdrom beside the test stay as they are for the tests that run
// meanwhile. A private temporary folder takes the reference image.
struct HostFolders {
    testsupport::TempDir inputs;
    fs::path root = inputs.path;
    testsupport::ScopedEnv named{QUENDAL_FORMAT_INPUTS_ENV, inputs.str()};
    testsupport::TempDir runtime;
    testsupport::ScopedUserTemp userTemp{runtime.str()};
    std::map<std::string, std::vector<uint8_t>> pwd, bootfiles;
    HostFolders() {
        pwd["LOGIN.EXE"] = pattern(70'000, 1);
        pwd["FLASHDISK.INI"] = pattern(300, 2); // 8.3: FLASHDIS.INI
        bootfiles["IO.SYS"] = pattern(120'000, 3);
        bootfiles["MSDOS.SYS"] = pattern(9, 4);
        bootfiles["COMMAND.COM"] = pattern(93'000, 5);
        for (auto &[n, b] : pwd) writeFile(root / "PWD" / n, b);
        for (auto &[n, b] : bootfiles) writeFile(root / "BOOTFILES" / n, b);
        writeFile(root / "PWD" / "skip.scc", pattern(10, 6));
    }
    fs::path reference() const { return runtime.path / "img0.img"; }
};

FormatSettings settingsFor(uint8_t mode, std::vector<uint32_t> sizes) {
    FormatSettings s{};
    s.mode = mode;
    s.areaCount = uint32_t(sizes.size());
    for (size_t i = 0; i < sizes.size() && i < 3; ++i) s.areaSize[i] = sizes[i];
    if (mode == QUENDAL_MODE_SECURE) std::strcpy(s.password, "Open Sesame");
    return s;
}

// Opens the disk the way the manager does before a format, then formats.
uint8_t format(EmulatedDisk &disk, FormatSettings &settings, FormatProgressCallback cb = record) {
    EXPECT_EQ(disk.open(), 0);
    EXPECT_NE(disk.loadTable(), 0);
    q().GetDiskCapacity();
    gReports.clear();
    return q().FormatDisk(&settings, cb);
}

// Where the volume of an area of this size starts in a mode, worked out from
// the size rules: small areas have no table, big ones a FAT32 table at 63.
uint32_t expectedVolumeStart(uint8_t mode, uint32_t size) {
    if (size < 4200) return 0;
    if (size > 4'096'000) return 63;
    if (mode == QUENDAL_MODE_HDD_BOOT) {
        // 4200 sectors behind a table at 63 would leave a FAT16 volume under
        // 4085 clusters, which readers take for FAT12: built without a table.
        return size < 4215 ? 0 : 63;
    }
    return mode == QUENDAL_MODE_ZIP_BOOT || mode == QUENDAL_MODE_ZIP_BOOT_63 ? 32 : 0;
}

std::string expectedKind(uint8_t mode, uint32_t size) {
    if (size > 4'096'000) return "FAT32";
    if (size < 4200 || (mode == QUENDAL_MODE_HDD_BOOT && size < 4215)) return "FAT12";
    return "FAT16";
}

void readArea(const std::string &image, uint64_t sector, uint8_t *out512) {
    fileio::File f(image, fileio::File::Mode::Read);
    ASSERT_TRUE(f.isOpen()) << image;
    ASSERT_TRUE(f.readAt(sector * 512, out512, 512));
}

// One area of the formatted disk checked by the outside tools.
void checkArea(EmulatedDisk &disk, uint64_t areaStart, uint32_t size, uint8_t mode,
               const std::map<std::string, std::vector<uint8_t>> &files) {
    SCOPED_TRACE("area at " + std::to_string(areaStart) + " of " + std::to_string(size));
    const std::string image = flashemu::dataImagePath(disk.dir());
    const uint32_t start = expectedVolumeStart(mode, size);
    testsupport::TempDir tmp;

    if (start != 0) {
        std::string area = tmp.str() + "/area.img";
        ASSERT_TRUE(fattools::extractRange(image, areaStart * 512, uint64_t(start + 1) * 512, area));
        // fileio rather than std::filesystem::resize_file, which MinGW's
        // runtime cannot take past 2 GiB.
        fileio::File grow(area, fileio::File::Mode::ReadWrite);
        ASSERT_TRUE(grow.resize(uint64_t(size) * 512));
        ASSERT_TRUE(grow.close());
        std::string raw;
        auto parts = fattools::sfdiskPartitions(area, &raw);
        ASSERT_EQ(parts.size(), 1u) << raw;
        EXPECT_EQ(parts[0].start, start);
        EXPECT_EQ(parts[0].size, size - start);
        EXPECT_EQ(parts[0].type, size > 4'096'000 ? "b" : "6");
        EXPECT_TRUE(parts[0].bootable);
    } else {
        uint8_t s0[512];
        readArea(image, areaStart, s0);
        EXPECT_EQ(s0[0], 0xEB) << "no partition table expected";
    }

    uint8_t boot[512];
    readArea(image, areaStart + start, boot);
    const std::string kind = expectedKind(mode, size);
    const size_t typeAt = kind == "FAT32" ? 0x52 : 0x36;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(boot) + typeAt, 5), kind);

    const bool dirtyNote = kind != "FAT32" && boot[0x25] == 0x01;
    std::string out;
    auto problems =
        fattools::fsckRange(image, (areaStart + start) * 512, uint64_t(size - start) * 512, dirtyNote, nullptr, &out);
    EXPECT_TRUE(problems.empty()) << out;

    const uint64_t offset = (areaStart + start) * 512;
    auto listing = fattools::mdir(image, offset);
    EXPECT_EQ(listing.status, 0) << listing.output;
    for (const auto &[name, bytes] : files) {
        std::string got;
        // Names past 8.3 are cut: FLASHDISK.INI is FLASHDIS.INI on the volume.
        std::string shortName = name == "FLASHDISK.INI" ? "FLASHDIS.INI" : name;
        ASSERT_TRUE(fattools::mtype(image, offset, shortName, &got)) << shortName;
        EXPECT_TRUE(got.size() == bytes.size() && std::memcmp(got.data(), bytes.data(), bytes.size()) == 0)
            << shortName;
    }
    if (files.empty()) {
        EXPECT_NE(listing.output.find("No files"), std::string::npos) << listing.output;
    }
    EXPECT_EQ(listing.output.find("SCC"), std::string::npos);
}

struct DriveLine {
    std::string letter;
    uint64_t offset = 0, length = 0;
    std::string flags;
};

std::vector<DriveLine> drives(const EmulatedDisk &disk) {
    std::ifstream in(flashemu::drivesPath(disk.dir()));
    std::vector<DriveLine> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream f(line);
        DriveLine d;
        std::string source;
        std::getline(f, d.letter, '\t');
        std::getline(f, source, '\t');
        f >> d.offset >> d.length >> d.flags;
        out.push_back(d);
    }
    return out;
}

} // namespace

TEST(FormatDisk, EveryModeAtTheAreaSizeBoundaries) {
    HostFolders folders;
    const uint32_t kSecond = 3000; // a small second area right behind the first
    for (uint8_t mode = 0; mode <= 5; ++mode) {
        {
            // One sector short of the smallest area: refused before any write.
            flashemu::DiskOptions o;
            o.sectors = 999 + kSecond;
            EmulatedDisk disk(o);
            disk.startLog();
            FormatSettings s = settingsFor(mode, {999, kSecond});
            EXPECT_EQ(format(disk, s), 0);
            EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_SETTINGS);
            for (const auto &e : disk.log()) EXPECT_FALSE(e.op == "WriteScsi" || e.op == "WriteDisk") << e.op;
        }
        if (mode == QUENDAL_MODE_CDROM) break; // no FAT volume to check
        for (uint32_t size : {1000u, 2500u, 4199u, 4200u, 1'000'000u, 4'096'000u, 4'096'001u, 8'000'000u}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " size " + std::to_string(size));
            flashemu::DiskOptions o;
            o.sectors = size + kSecond; // the second area ends at the disk's end
            EmulatedDisk disk(o);
            FormatSettings s = settingsFor(mode, {size, kSecond});
            ASSERT_EQ(format(disk, s), 1) << "error " << q().GetErrorCode();
            ASSERT_FALSE(gReports.empty());
            EXPECT_EQ(gReports.back(), Report(100, "Finish--"));

            const auto &files = mode == QUENDAL_MODE_NORMAL   ? std::map<std::string, std::vector<uint8_t>>{}
                                : mode == QUENDAL_MODE_SECURE ? folders.pwd
                                                              : folders.bootfiles;
            checkArea(disk, 0, size, mode, files);
            checkArea(disk, size, kSecond, mode, {});

            // The reference image ends with area 0's boot sector.
            const uint32_t start = expectedVolumeStart(mode, size);
            EXPECT_EQ(fs::file_size(folders.reference()), uint64_t(start + 1) * 512);

            // After a replug the host sees the layout of the settings.
            ASSERT_EQ(disk.open(), 0);
            auto d = drives(disk);
            ASSERT_GE(d.size(), 1u);
            EXPECT_EQ(d[0].offset, uint64_t(start) * 512);
            if (mode != QUENDAL_MODE_SECURE) {
                ASSERT_EQ(d.size(), 2u);
                EXPECT_EQ(d[1].offset, uint64_t(size) * 512);
                EXPECT_EQ(d[1].length, uint64_t(kSecond) * 512);
            } else {
                EXPECT_EQ(d.size(), 1u); // the secure area shows only after a login
            }
        }
    }
}

TEST(FormatDisk, ResetWaitFindsTheRebuiltFirstVolumeByTheReferenceImage) {
    // img0.img holds area 0 up to its boot sector; the reset wait follows a
    // partition table in it (recognised by its loader's first bytes, FA or
    // 33 at byte 1) to the boot sector and looks for that volume.
    HostFolders folders;
    for (uint8_t mode = 0; mode <= 4; ++mode) {
        for (uint32_t size : {2500u, 1'000'000u, 4'096'001u}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " size " + std::to_string(size));
            flashemu::DiskOptions o;
            o.sectors = size + 3000;
            EmulatedDisk disk(o);
            FormatSettings s = settingsFor(mode, {size, 3000});
            ASSERT_EQ(format(disk, s), 1);
            ASSERT_EQ(disk.open(), 0);
            char drive[4] = {};
            EXPECT_EQ(q().WaitDiskResume(drive, 1000), 1);
            EXPECT_STREQ(drive, "E:");
        }
    }
}

TEST(FormatDisk, TheReferenceImageIsMadeAfreshNeverThroughALink) {
    // Another program of the user's may have left a link at the name: the
    // format replaces it and never writes what it points to.
    HostFolders folders;
    const fs::path victim = folders.runtime.path / "victim";
    writeFile(victim, {'k', 'e', 'e', 'p'});
    std::error_code linkError;
    fs::create_symlink(victim, folders.reference(), linkError);
    if (linkError) GTEST_SKIP() << "this system makes no links: " << linkError.message();
    flashemu::DiskOptions o;
    o.sectors = 20000;
    EmulatedDisk disk(o);
    FormatSettings s = settingsFor(QUENDAL_MODE_NORMAL, {20000});
    ASSERT_EQ(format(disk, s), 1);
    EXPECT_EQ(fs::file_size(victim), 4u);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folders.reference())));
    EXPECT_GE(fs::file_size(folders.reference()), 512u);
}

TEST(FormatDisk, SecureModeCopiesThePasswordFilesIntoTheFirstAreaOnly) {
    HostFolders folders;
    flashemu::DiskOptions o;
    o.sectors = 2'000'000;
    EmulatedDisk disk(o);
    FormatSettings s = settingsFor(QUENDAL_MODE_SECURE, {2500, 1'997'500});
    ASSERT_EQ(format(disk, s), 1);
    checkArea(disk, 0, 2500, QUENDAL_MODE_SECURE, folders.pwd);
    checkArea(disk, 2500, 1'997'500, QUENDAL_MODE_SECURE, {});
    // The table label comes back in the settings, NUL-terminated.
    EXPECT_EQ(std::string(s.label, 10), "FLASH DISK");
    EXPECT_EQ(s.label[11], 0);
}

TEST(FormatDisk, A64GiBDiskGetsASoundFat32Volume) {
    HostFolders folders;
    flashemu::DiskOptions o;
    o.sectors = 134'217'728; // 64 GiB
    EmulatedDisk disk(o);
    // Every mode becomes FAT32 behind a table at 63 on an area this big.
    for (uint8_t mode = 0; mode <= 4; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        FormatSettings s = settingsFor(mode, {o.sectors});
        ASSERT_EQ(format(disk, s), 1) << "error " << q().GetErrorCode();
        const auto &files = mode == QUENDAL_MODE_NORMAL   ? std::map<std::string, std::vector<uint8_t>>{}
                            : mode == QUENDAL_MODE_SECURE ? folders.pwd
                                                          : folders.bootfiles;
        checkArea(disk, 0, o.sectors, mode, files);
    }
}

TEST(FormatDisk, ProgressOfANormalOneAreaFormat) {
    flashemu::DiskOptions o;
    o.sectors = 2'000'000;
    EmulatedDisk disk(o);
    FormatSettings s = settingsFor(QUENDAL_MODE_NORMAL, {2'000'000});
    ASSERT_EQ(format(disk, s), 1);
    std::vector<Report> expect = {{0, "Preparing--"}, {50, "Preparing--"}, {90, "Preparing--"}};
    for (int k = 0; k < 48; ++k) expect.emplace_back(k * 25 / 12, "Building file system--");
    expect.emplace_back(0, "Update information--");
    expect.emplace_back(0, "Waiting for disk reset--");
    for (int p = 0; p <= 100; p += 10) expect.emplace_back(p, "Waiting for disk reset--");
    for (int p = 0; p <= 90; p += 10) expect.emplace_back(p, "Closing Flash Disk--");
    expect.emplace_back(100, "Finish--");
    EXPECT_EQ(gReports, expect);

    // A null callback keeps the stored one.
    ASSERT_EQ(format(disk, s, nullptr), 1);
    EXPECT_EQ(gReports, expect);
}

TEST(FormatDisk, CdromImageIsWrittenSectorBySectorFromAddressZero) {
    HostFolders folders;
    flashemu::DiskOptions o;
    o.sectors = 100'000;
    EmulatedDisk disk(o);
    FormatSettings s = settingsFor(QUENDAL_MODE_CDROM, {50'000, 50'000});
    // Exactly four sectors for 2048 bytes, none after the last.
    writeFile(folders.root / "Cdrom" / "auto.iso", pattern(2048, 8));
    disk.startLog();
    ASSERT_EQ(format(disk, s), 1);
    std::vector<uint32_t> addresses;
    for (const auto &e : disk.log())
        if (e.op == "WriteDisk" && e.address < 0x10000000u) addresses.push_back(e.address);
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0, 1, 2, 3, 0, 1, 2, 3}));

    auto iso = pattern(2048 + 100, 9); // four whole sectors and a piece
    writeFile(folders.root / "Cdrom" / "auto.iso", iso);
    disk.startLog();
    ASSERT_EQ(format(disk, s), 1);
    addresses.clear();
    for (const auto &e : disk.log())
        if (e.op == "WriteDisk" && e.address < 0x10000000u) addresses.push_back(e.address);
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}));
    // No FAT volume is built: no WRITE(10) of data.
    for (const auto &e : disk.log()) EXPECT_FALSE(e.op == "WriteScsi" && e.cdb[0] == 0x2A && e.address < 0x10000000u);
    std::vector<uint8_t> back(5 * 512);
    ASSERT_TRUE(flashemu::readPhysicalSectors(disk.dir(), 0, 5, back.data()));
    EXPECT_TRUE(std::equal(iso.begin(), iso.end(), back.begin()));
    // The piece after the end of the file is padded with zeros.
    EXPECT_TRUE(std::all_of(back.begin() + iso.size(), back.end(), [](uint8_t b) { return b == 0; }));
    // Piece k of n = 4 whole sectors reports k x 100 / n, for each of the two areas.
    std::vector<int32_t> building;
    for (const auto &r : gReports)
        if (r.second == "Building file system--") building.push_back(r.first);
    EXPECT_EQ(building, (std::vector<int32_t>{0, 25, 50, 75, 100, 0, 25, 50, 75, 100}));
    // A reference image of an earlier format would describe a volume that is gone.
    EXPECT_FALSE(fs::exists(folders.reference()));
    ASSERT_EQ(disk.open(), 0);
    auto d = drives(disk);
    ASSERT_GE(d.size(), 1u);
    EXPECT_NE(d[0].flags.find("cdrom"), std::string::npos);
}

TEST(FormatDisk, RefusalsAndFailuresStillCloseAndFinish) {
    flashemu::DiskOptions o;
    o.sectors = 100'000;
    EmulatedDisk disk(o);

    // Areas that end past the disk: refused before anything is written.
    disk.startLog();
    FormatSettings tooBig = settingsFor(QUENDAL_MODE_NORMAL, {60'000, 50'000});
    EXPECT_EQ(format(disk, tooBig), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_SETTINGS);
    for (const auto &e : disk.log()) {
        EXPECT_NE(e.op, "WriteDisk");
        EXPECT_NE(e.op, "WriteScsi");
    }
    EXPECT_EQ(gReports.back(), Report(100, "Finish--"));

    // A write that fails in the middle of an area image ends the format with 10;
    // the table is not replaced.
    disk.failWrite("data", 20);
    FormatSettings s = settingsFor(QUENDAL_MODE_NORMAL, {60'000, 40'000});
    EXPECT_EQ(format(disk, s), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_DATA_WRITE);
    size_t building = 0, update = 0;
    for (const auto &r : gReports) {
        building += r.second == "Building file system--";
        update += r.second == "Update information--";
    }
    EXPECT_EQ(building, 20u);
    EXPECT_EQ(update, 0u);
    EXPECT_EQ(gReports.back(), Report(100, "Finish--"));
    disk.clearFaults();

    // An area under 1000 sectors: code 2, nothing written.
    disk.startLog();
    FormatSettings small = settingsFor(QUENDAL_MODE_NORMAL, {99'001, 999});
    EXPECT_EQ(format(disk, small), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_SETTINGS);
    for (const auto &e : disk.log()) EXPECT_NE(e.op, "WriteScsi");

    // An area count of 0 and an unknown mode: code 2, closing and finish reports.
    disk.failWrite("data", 1);
    ASSERT_EQ(format(disk, s), 0); // sets 10, so that the next code is seen to change
    ASSERT_EQ(q().GetErrorCode(), QUENDAL_ERR_DATA_WRITE);
    disk.clearFaults();
    FormatSettings none = settingsFor(QUENDAL_MODE_NORMAL, {});
    none.areaSize[0] = 1000;
    EXPECT_EQ(format(disk, none), 0);
    EXPECT_EQ(q().GetErrorCode(), QUENDAL_ERR_SETTINGS);
    ASSERT_EQ(gReports.size(), 11u);
    EXPECT_EQ(gReports.front(), Report(0, "Closing Flash Disk--"));
    FormatSettings odd = settingsFor(6, {50'000});
    disk.startLog();
    EXPECT_EQ(format(disk, odd), 0);
    for (const auto &e : disk.log()) EXPECT_NE(e.op, "WriteScsi");

    // Without the transport nothing happens, not even a report.
    q().FreeDiskLib();
    gReports.clear();
    EXPECT_EQ(q().FormatDisk(&s, record), 0);
    EXPECT_TRUE(gReports.empty());
    ASSERT_EQ(q().LoadDiskLib(), 1);
}

TEST(FormatDisk, AMakerTableDiskIsLeftAlone) {
    flashemu::DiskOptions o;
    o.sectors = 100'000;
    o.table = flashemu::TableKind::Maker;
    EmulatedDisk disk(o);
    ASSERT_EQ(disk.open(), 0);
    ASSERT_NE(disk.loadTable(), 0);
    disk.startLog();
    gReports.clear();
    FormatSettings s = settingsFor(QUENDAL_MODE_NORMAL, {100'000});
    EXPECT_EQ(q().FormatDisk(&s, record), 0);
    for (const auto &e : disk.log()) {
        EXPECT_NE(e.op, "WriteDisk");
        EXPECT_NE(e.op, "WriteScsi");
    }
    ASSERT_EQ(gReports.size(), 11u);
    EXPECT_EQ(gReports.back(), Report(100, "Finish--"));
}
