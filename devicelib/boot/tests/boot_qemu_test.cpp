// The boot code in a real (emulated) PC: areas built by the FAT builder, with a
// tiny system file of our own as IO.SYS, are booted in qemu. The system file
// reports on COM1 what the boot sector handed it; the loaders' messages are
// read from the debug console (port 0E9h), to which they mirror every text.
// A floppy boot sector that hides the BIOS's LBA extensions drives the CHS
// paths under a known disk geometry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BootCode.h"
#include "FatImage.h"
#include "QemuBoot.h"
#include "byteorder.h"

using namespace quendal;
using namespace boottest;

namespace {

constexpr const char *kReplace = "\r\nReplace the disk, and then press any key";

// Writes every sector the builder holds into a sparse file of the area's size.
// With a shift, the volume (not the partition table sector) lies `shift`
// sectors further on, and the table's start and the hidden sectors say so.
void writeArea(const FatImage &image, const std::string &path, uint32_t shift = 0) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, off_t(image.areaSectors() + shift) * 512), 0);
    for (uint32_t s = 0; s < image.imageSectors() && s < image.areaSectors(); ++s) {
        const uint8_t *p = image.sectorData(s);
        if (!p) continue;
        uint8_t sector[512];
        std::copy(p, p + 512, sector);
        uint32_t at = s;
        if (s == 0 && image.hasPartitionTable()) {
            bo::putLE32(sector + 0x1C6, image.volumeStart() + shift);
        } else if (s >= image.volumeStart()) {
            at = s + shift;
            if (s == image.volumeStart()) bo::putLE32(sector + 0x1C, image.volumeStart() + shift);
            // Without a table the BIOS starts the boot sector at sector 0: a
            // copy stays there, pointing at the volume by its hidden sectors.
            if (s == 0 && shift) {
                ASSERT_EQ(pwrite(fd, sector, 512, 0), 512);
            }
        }
        ASSERT_EQ(pwrite(fd, sector, 512, off_t(at) * 512), 512);
    }
    close(fd);
}

class BootTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto q = findQemu();
        if (!q) GTEST_SKIP() << "qemu-system-i386 / qemu-system-x86_64 not installed: boot code not run";
        qemu_ = *q;
        ASSERT_TRUE(dir_.ok());
        systemFile_ = readFile(BOOT_TEST_SYSTEM_FILE);
        ASSERT_GT(systemFile_.size(), 2048u);
    }

    // Builds an area with the builder, adds the system file under `name`
    // (none when empty) and writes it out as the machine's hard disk.
    void makeDisk(int layout, uint32_t areaSectors, const std::string &name, uint32_t shift = 0) {
        ASSERT_TRUE(BuildFatImage(image_, layout, areaSectors, 6144));
        if (!name.empty()) {
            ASSERT_EQ(AddFileToImage(image_, systemFile_.data(), uint32_t(systemFile_.size()), name), 1);
        }
        disk_ = dir_.file("disk.img");
        writeArea(image_, disk_, shift);
        shift_ = shift;
    }

    void patchDisk(uint64_t offset, const std::vector<uint8_t> &bytes) {
        int fd = open(disk_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), off_t(offset)), ssize_t(bytes.size()));
        close(fd);
    }

    // Boots and checks the system file's report: started at 0070:0000 with
    // the BIOS's drive in DL and in the BPB, the boot sector at SS:BP, the
    // volume start as hidden sectors, all 2048 bytes loaded.
    std::string bootSystemFile(const Machine &m) {
        BootOutput out = boot(qemu_, dir_, m, "\r\n");
        const char *drive = m.floppy ? "00" : "80";
        std::string expected = std::string("SYSFILE cs=0070 ip=0000 dl=") + drive + " drive=" + drive +
                               " sig=AA55 hidden=" + hex(image_.volumeStart() + shift_, 8) + " ";
        EXPECT_NE(out.serial.find(expected), std::string::npos)
            << "serial: " << out.serial << "\nconsole: " << out.console;
        EXPECT_NE(out.serial.find(" tail=TAIL\r\n"), std::string::npos) << out.serial;
        return out.serial;
    }

    std::string qemu_;
    TempDir dir_;
    std::vector<uint8_t> systemFile_;
    FatImage image_;
    std::string disk_;
    uint32_t shift_ = 0;
};

// ---------------------------------------------------------------------------
// The system file is found and started, in every layout and FAT kind.

struct LayoutCase {
    const char *label;
    int layout;
    uint32_t areaSectors;
    FatKind kind;
    uint32_t volumeStart;
    Geometry geometry; // a disk whose CHS start of the entry is right
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.label; }

class BootLayoutTest : public BootTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(BootLayoutTest, StartsTheSystemFileThroughLbaAndThroughChs) {
    const LayoutCase &c = GetParam();
    makeDisk(c.layout, c.areaSectors, "IO.SYS");
    ASSERT_EQ(image_.kind(), c.kind);
    ASSERT_EQ(image_.volumeStart(), c.volumeStart);
    if (::testing::Test::HasFatalFailure()) return;

    // The BIOS's geometry replaces the template's in the BPB the file gets.
    std::string geometry;
    if (c.geometry.heads) {
        geometry =
            "spt=" + hex(uint32_t(c.geometry.sectorsPerTrack), 4) + " heads=" + hex(uint32_t(c.geometry.heads), 4);
    }
    for (bool hideLba : {false, true}) {
        SCOPED_TRACE(hideLba ? "CHS only" : "LBA extensions");
        std::string report = bootSystemFile({disk_, c.geometry, hideLba});
        if (!geometry.empty()) {
            EXPECT_NE(report.find(geometry), std::string::npos) << report;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BootLayoutTest,
                         ::testing::Values(
                             // FAT12 without a partition table; the template's drive number is 00h
                             LayoutCase{"Fat12NoTable", kLayoutNoTable, 3000, FatKind::Fat12, 0, {16, 63}},
                             // ZIP boot: table, volume at 32 (template A); a 32-sector BIOS geometry
                             // makes the entry's fixed CHS start name sector 32
                             LayoutCase{"Fat16Zip", kLayoutTable32, 20000, FatKind::Fat16, 32, {16, 32}},
                             // HDD boot: volume at 63 (template B)
                             LayoutCase{"Fat16Hdd", kLayoutTable63, 20000, FatKind::Fat16, 63, {16, 63}},
                             // ZIP boot with 63-sector tracks in the BPB, volume still at 32
                             LayoutCase{"Fat16Zip63", kLayoutTable32Track63, 20000, FatKind::Fat16, 32, {16, 32}},
                             // FAT32 (template C) above 4,096,000 sectors; geometry left to the BIOS
                             LayoutCase{"Fat32", kLayoutTable63, 4200000, FatKind::Fat32, 63, {}}),
                         [](const ::testing::TestParamInfo<LayoutCase> &info) {
                             return std::string(info.param.label);
                         });

TEST_F(BootTest, BootsFromAFloppyDriveWithItsOwnDriveNumberAndGeometry) {
    // A 1.44 MB area is FAT12 without a table; booted as drive A: the BIOS
    // hands over DL = 00h, has no packet reads and a geometry of 18 x 2.
    makeDisk(kLayoutTable32, 2880, "IO.SYS");
    if (::testing::Test::HasFatalFailure()) return;
    Machine floppy{disk_, {}, false, true};
    std::string report = bootSystemFile(floppy);
    EXPECT_NE(report.find("spt=0012 heads=0002"), std::string::npos) << report;
}

TEST_F(BootTest, FatBootSectorRetriesAFailedChsRead) {
    // Without a partition table the boot sector does every read after the
    // BIOS's; each of its reads fails on the first try.
    for (uint32_t area : {3000u, 20000u}) {
        SCOPED_TRACE(area);
        makeDisk(kLayoutNoTable, area, "IO.SYS");
        if (::testing::Test::HasFatalFailure()) return;
        Machine flaky{disk_, {16, 63}, true, false, true};
        bootSystemFile(flaky);
    }
}

TEST_F(BootTest, VolumeFarIntoTheDiskNeedsAllThirtyTwoBitsOfItsSectorNumbers) {
    // Volume starts past 65536 and past 2^24 sectors: the loaders' sector
    // arithmetic must keep every bit. The partition table loader reads by CHS
    // only from the entry's fixed CHS start, so the CHS case goes without a
    // table, from a copy of the boot sector at sector 0.
    struct Case {
        int layout;
        uint32_t shift;
        bool chs;
    };
    for (const Case &c : {Case{kLayoutTable63, 200'000, false}, Case{kLayoutTable63, 20'000'000, false},
                          Case{kLayoutNoTable, 200'000, true}, Case{kLayoutNoTable, 20'000'000, false}}) {
        SCOPED_TRACE(c.shift);
        makeDisk(c.layout, 20000, "IO.SYS", c.shift);
        if (::testing::Test::HasFatalFailure()) return;
        bootSystemFile({disk_, {}, false});
        if (c.chs) bootSystemFile({disk_, {16, 63}, true});
    }
}

TEST_F(BootTest, TakesWinbootSysWhereTheTemplateNamesIt) {
    for (uint32_t area : {3000u, 4200000u}) {
        SCOPED_TRACE(area);
        makeDisk(kLayoutTable63, area, "WINBOOT.SYS");
        if (::testing::Test::HasFatalFailure()) return;
        bootSystemFile({disk_, {}, false});
    }
}

// ---------------------------------------------------------------------------
// Boot sector messages.

TEST_F(BootTest, WithoutSystemFileTheBootSectorAsksForAnotherDisk) {
    for (uint32_t area : {3000u, 20000u, 4200000u}) {
        SCOPED_TRACE(area);
        makeDisk(area == 3000 ? kLayoutNoTable : kLayoutTable63, area, area == 20000 ? "MSDOS.SYS" : "");
        if (::testing::Test::HasFatalFailure()) return;
        BootOutput out = boot(qemu_, dir_, {disk_, {}, false}, "any key");
        EXPECT_NE(out.console.find(std::string("Invalid system disk") + kReplace), std::string::npos) << out.console;
        EXPECT_EQ(out.serial.find("SYSFILE"), std::string::npos) << out.serial;
    }
}

TEST_F(BootTest, UnreadableVolumeGivesDiskIoError) {
    // Hidden sectors far beyond the disk: the packet read fails, and so does
    // CHS, whose cylinder would not fit its 10 bits.
    makeDisk(kLayoutTable63, 20000, "IO.SYS");
    if (::testing::Test::HasFatalFailure()) return;
    uint8_t hidden[4];
    bo::putLE32(hidden, 0x10000000);
    patchDisk(63 * 512 + 0x1C, {hidden, hidden + 4});
    for (bool hideLba : {false, true}) {
        SCOPED_TRACE(hideLba ? "CHS only" : "LBA extensions");
        BootOutput out = boot(qemu_, dir_, {disk_, {16, 63}, hideLba}, "any key");
        EXPECT_NE(out.console.find(std::string("Disk I/O error") + kReplace), std::string::npos) << out.console;
    }
}

// ---------------------------------------------------------------------------
// Partition table loader messages.

TEST_F(BootTest, PartitionTableLoaderReportsWhatStopsIt) {
    makeDisk(kLayoutTable63, 20000, "IO.SYS");
    if (::testing::Test::HasFatalFailure()) return;
    const Machine machine{disk_, {16, 63}, false};

    patchDisk(0x1BE, {0x00}); // no active entry
    BootOutput out = boot(qemu_, dir_, machine, "table");
    EXPECT_NE(out.console.find("Invalid partition table"), std::string::npos) << out.console;
    patchDisk(0x1BE, {0x80});

    patchDisk(63 * 512 + 0x1FE, {0x00, 0x00}); // the volume's boot sector is no boot sector
    out = boot(qemu_, dir_, machine, "system");
    EXPECT_NE(out.console.find("Missing operating system"), std::string::npos) << out.console;
    patchDisk(63 * 512 + 0x1FE, {0x55, 0xAA});

    // Start beyond the disk, both as LBA and as CHS (cylinder 1023).
    uint8_t start[4];
    bo::putLE32(start, 0x00F00000);
    patchDisk(0x1BF, {0xFE, 0xFF, 0xFF});
    patchDisk(0x1C6, {start, start + 4});
    out = boot(qemu_, dir_, machine, "system");
    EXPECT_NE(out.console.find("Error loading operating system"), std::string::npos) << out.console;
}

// ---------------------------------------------------------------------------
// What the builder and the volume discovery rely on: each blob fills its
// space up to 01FEh and carries the template's texts, the loader names at the
// very end; the partition table sector starts FA 33.

TEST(BootCodeBlobs, FillTheirTemplatesWithTheTemplateTexts) {
    auto contains = [](const uint8_t *blob, size_t size, const std::string &text) {
        return std::search(blob, blob + size, text.begin(), text.end()) != blob + size;
    };
    EXPECT_EQ(bootcode::kPartitionLoaderSize, 218u);
    // Volume discovery follows a partition table sector it knows by FA 33.
    EXPECT_EQ(bootcode::kPartitionLoader[0], 0xFA);
    EXPECT_EQ(bootcode::kPartitionLoader[1], 0x33);
    for (const char *text : {"Invalid partition table", "Error loading operating system", "Missing operating system"}) {
        EXPECT_TRUE(contains(bootcode::kPartitionLoader, bootcode::kPartitionLoaderSize, text)) << text;
    }
    struct Blob {
        const uint8_t *bytes;
        size_t size, offset;
        bool winboot;
    };
    for (const Blob &b : {Blob{bootcode::kFatLoaderA, bootcode::kFatLoaderASize, bootcode::kFatLoaderAOffset, true},
                          Blob{bootcode::kFatLoaderB, bootcode::kFatLoaderBSize, bootcode::kFatLoaderBOffset, false},
                          Blob{bootcode::kFatLoaderC, bootcode::kFatLoaderCSize, bootcode::kFatLoaderCOffset, true}}) {
        SCOPED_TRACE(b.offset);
        EXPECT_EQ(b.offset + b.size, 0x1FEu);
        for (const char *text : {"Invalid system disk", "Disk I/O error", "Replace the disk, and then press any key"}) {
            EXPECT_TRUE(contains(b.bytes, b.size, text)) << text;
        }
        std::string names = b.winboot ? "IO      SYSMSDOS   SYSWINBOOT SYS" : "IO      SYSMSDOS   SYS";
        ASSERT_GE(b.size, names.size());
        EXPECT_EQ(std::string(b.bytes + b.size - names.size(), b.bytes + b.size), names);
    }
}

} // namespace
