// The boot code in a real (emulated) PC: areas built by the FAT builder, with a
// tiny system file of our own as IO.SYS, are booted in qemu. The system file
// reports on COM1 what the boot sector handed it; the loaders' messages are
// read from the debug console (port 0E9h), to which they mirror every text.
// A floppy boot sector that hides the BIOS's LBA extensions drives the CHS
// paths under a known disk geometry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BootCode.h"
#include "FatImage.h"
#include "byteorder.h"

extern char **environ;

using namespace quendal;
namespace fs = std::filesystem;

namespace {

constexpr const char *kReplace = "\r\nReplace the disk, and then press any key";

std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<std::string> findQemu() {
    const char *path = std::getenv("PATH");
    if (!path) return std::nullopt;
    for (const char *name : {"qemu-system-i386", "qemu-system-x86_64"}) {
        std::string dirs = path;
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
            start = end + 1;
        }
    }
    return std::nullopt;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "boottest.XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

// Writes every sector the builder holds into a sparse file of the area's size.
void writeArea(const FatImage &image, const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, off_t(image.areaSectors()) * 512), 0);
    for (uint32_t s = 0; s < image.imageSectors() && s < image.areaSectors(); ++s) {
        if (const uint8_t *p = image.sectorData(s)) {
            ASSERT_EQ(pwrite(fd, p, 512, off_t(s) * 512), 512);
        }
    }
    close(fd);
}

struct Geometry {
    int heads = 0;            // 0: let qemu and the BIOS choose
    int sectorsPerTrack = 0;
};

struct Machine {
    std::string disk;
    Geometry geometry;
    bool hideLba = false;     // boot the LBA-hiding floppy first
    bool floppy = false;      // the disk is drive A: (BIOS drive 00h), booted from
    bool flakyChs = false;    // with hideLba: every other CHS read fails once
};

struct BootOutput {
    std::string serial;       // COM1: the system file's report
    std::string console;      // port 0E9h: the loaders' messages
};

// Boots the machine until `until` shows on either output or the time is up.
BootOutput boot(const std::string &qemu, const TempDir &dir, const Machine &m, const std::string &until) {
    const std::string serial = dir.file("serial.txt");
    const std::string console = dir.file("console.txt");
    std::remove(serial.c_str());
    std::remove(console.c_str());

    std::vector<std::string> args = {qemu, "-display", "none", "-no-reboot", "-m", "16", "-nic", "none",
                                     "-monitor", "none", "-serial", "file:" + serial,
                                     "-debugcon", "file:" + console};
    if (m.floppy) {
        args.insert(args.end(), {"-drive", "if=floppy,index=0,format=raw,file=" + m.disk, "-boot", "order=a"});
    } else if (m.geometry.heads) {
        uint64_t sectors = fs::file_size(m.disk) / 512;
        uint64_t cylinders = sectors / uint64_t(m.geometry.heads * m.geometry.sectorsPerTrack);
        args.insert(args.end(), {"-drive", "if=none,id=hd,format=raw,file=" + m.disk, "-device",
                                 "ide-hd,drive=hd,bios-chs-trans=none,cyls=" + std::to_string(cylinders) +
                                     ",heads=" + std::to_string(m.geometry.heads) +
                                     ",secs=" + std::to_string(m.geometry.sectorsPerTrack)});
    } else {
        args.insert(args.end(), {"-drive", "if=ide,index=0,format=raw,file=" + m.disk});
    }
    if (m.floppy) {
        // booted from drive A: above
    } else if (m.hideLba) {
        const std::string floppy = dir.file("hider.img");
        std::vector<uint8_t> image(1474560, 0);
        auto hider = readFile(BOOT_TEST_LBA_HIDER);
        EXPECT_EQ(hider.size(), 512u);
        std::copy(hider.begin(), hider.end(), image.begin());
        image[0x1FD] = m.flakyChs ? 1 : 0;
        std::ofstream(floppy, std::ios::binary).write(reinterpret_cast<const char *>(image.data()), image.size());
        args.insert(args.end(), {"-drive", "if=floppy,index=0,format=raw,file=" + floppy, "-boot", "order=a"});
    } else {
        args.insert(args.end(), {"-boot", "order=c"});
    }

    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("qemu.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, qemu.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    BootOutput out;
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << qemu;
        return out;
    }

    // Without KVM a boot takes a second or two; a slow shared machine gets more.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto s = readFile(serial), c = readFile(console);
        out.serial.assign(s.begin(), s.end());
        out.console.assign(c.begin(), c.end());
        if (out.serial.find(until) != std::string::npos || out.console.find(until) != std::string::npos) break;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
    }
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (exited) {
        auto log = readFile(dir.file("qemu.log"));
        ADD_FAILURE() << "qemu ended early: " << std::string(log.begin(), log.end());
    }
    return out;
}

std::string hex(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, value);
    return buf;
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
    void makeDisk(int layout, uint32_t areaSectors, const std::string &name) {
        ASSERT_TRUE(BuildFatImage(image_, layout, areaSectors, 6144));
        if (!name.empty()) {
            ASSERT_EQ(AddFileToImage(image_, systemFile_.data(), uint32_t(systemFile_.size()), name), 1);
        }
        disk_ = dir_.file("disk.img");
        writeArea(image_, disk_);
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
                               " sig=AA55 hidden=" + hex(image_.volumeStart(), 8) + " ";
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
};

// ---------------------------------------------------------------------------
// The system file is found and started, in every layout and FAT kind.

struct LayoutCase {
    const char *label;
    int layout;
    uint32_t areaSectors;
    FatKind kind;
    uint32_t volumeStart;
    Geometry geometry;        // a disk whose CHS start of the entry is right
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
        geometry = "spt=" + hex(uint32_t(c.geometry.sectorsPerTrack), 4) + " heads=" + hex(uint32_t(c.geometry.heads), 4);
    }
    for (bool hideLba : {false, true}) {
        SCOPED_TRACE(hideLba ? "CHS only" : "LBA extensions");
        std::string report = bootSystemFile({disk_, c.geometry, hideLba});
        if (!geometry.empty()) {
            EXPECT_NE(report.find(geometry), std::string::npos) << report;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BootLayoutTest,
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
    [](const ::testing::TestParamInfo<LayoutCase> &info) { return std::string(info.param.label); });

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

    patchDisk(0x1BE, {0x00});  // no active entry
    BootOutput out = boot(qemu_, dir_, machine, "table");
    EXPECT_NE(out.console.find("Invalid partition table"), std::string::npos) << out.console;
    patchDisk(0x1BE, {0x80});

    patchDisk(63 * 512 + 0x1FE, {0x00, 0x00});  // the volume's boot sector is no boot sector
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
// What the builder relies on: each blob fills its space up to 01FEh and
// carries the template's texts, the loader names at the very end.

TEST(BootCodeBlobs, FillTheirTemplatesWithTheTemplateTexts) {
    auto contains = [](const uint8_t *blob, size_t size, const std::string &text) {
        return std::search(blob, blob + size, text.begin(), text.end()) != blob + size;
    };
    EXPECT_EQ(bootcode::kPartitionLoaderSize, 218u);
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
