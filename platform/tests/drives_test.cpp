// The drive table: parsing of drive maps and mount tables, volume sizes, raw
// sector reads inside a volume's bounds, and files written into unmounted FAT
// volumes, checked with dosfstools and mtools.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "byteorder.h"
#include "platform/Drives.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

void setEnv(const char *name, const std::string &value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void unsetEnv(const char *name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            fs::path candidate = fs::temp_directory_path() / ("drives-test-" + std::to_string(random()));
            if (fs::create_directory(candidate)) path = candidate;
        }
        if (path.empty()) throw std::runtime_error("no temporary folder");
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string &name) const { return (path / name).string(); }
};

#ifndef _WIN32
// Runs a shell command; returns its standard output and sets *status.
std::string run(const std::string &command, int *status = nullptr) {
    std::string out;
    FILE *p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = ::pclose(p);
    if (status) *status = rc;
    return out;
}

#endif

std::vector<uint8_t> readFile(const std::string &path, uint64_t offset = 0, uint64_t length = UINT64_MAX) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::vector<uint8_t> out;
    char c;
    while (out.size() < length && in.get(c)) out.push_back(uint8_t(c));
    return out;
}

void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// A FAT volume made by mkfs.fat, stored after `lead` sectors of filler in a
// container image, as a volume sits inside a disk after its partition table.
struct Volume {
    std::string container;
    uint64_t offset;
    uint64_t length;
};

#ifndef _WIN32
Volume makeVolume(const TempDir &dir, const std::string &name, const std::string &mkfsArgs, uint32_t kilobytes,
                  uint32_t lead = 32) {
    std::string vol = dir / (name + ".vol");
    int status = 0;
    std::string out = run("mkfs.fat -C -i 12345678 " + mkfsArgs + " " + vol + " " + std::to_string(kilobytes), &status);
    EXPECT_EQ(status, 0) << out;
    std::vector<uint8_t> bytes(size_t(lead) * 512, 0xA7);
    std::vector<uint8_t> v = readFile(vol);
    bytes.insert(bytes.end(), v.begin(), v.end());
    std::string container = dir / (name + ".img");
    writeFile(container, bytes);
    fs::remove(vol);
    return {container, uint64_t(lead) * 512, v.size()};
}

std::string mtools(const std::string &cmd, const Volume &v, const std::string &args, int *status = nullptr) {
    return run("MTOOLS_SKIP_CHECK=1 " + cmd + " -i '" + v.container + "@@" + std::to_string(v.offset) + "' " + args,
               status);
}

// fsck.fat of the volume cut out of its container; returns its output, status in *status.
std::string fsck(const TempDir &dir, const Volume &v, int *status) {
    std::string cut = dir / "fsck.vol";
    writeFile(cut, readFile(v.container, v.offset, v.length));
    return run("fsck.fat -n " + cut, status);
}

uint64_t bytesFree(const Volume &v) {
    std::string out = mtools("mdir", v, "::");
    size_t at = out.find(" bytes free");
    EXPECT_NE(at, std::string::npos) << out;
    size_t start = out.rfind('\n', at);
    std::string number;
    for (size_t i = start + 1; i < at; ++i)
        if (isdigit(static_cast<unsigned char>(out[i]))) number.push_back(out[i]);
    return std::stoull(number);
}

#endif

// Each test gets a drive map of its own and no emulator disk.
class DriveMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetEnv("FLASHDISK_EMULATOR");
        setEnv("FLASHDISK_DRIVES", map);
    }
    void TearDown() override {
        unsetEnv("FLASHDISK_DRIVES");
        unsetEnv("FLASHDISK_EMULATOR");
    }
    void writeMap(const std::string &text) {
        std::ofstream out(map, std::ios::trunc);
        out << text;
    }
    std::string line(char letter, const Volume &v, const std::string &flags = "rw", const std::string &mount = "") {
        std::string s = std::string(1, letter) + ":\t" + v.container + "\t" + std::to_string(v.offset) + "\t" +
                        std::to_string(v.length) + "\t" + flags;
        if (!mount.empty()) s += "\t" + mount;
        return s + "\n";
    }
    TempDir dir;
    std::string map = dir / "drives";
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 9));
    return v;
}

} // namespace

TEST(DriveMapParse, KeepsWellFormedLinesFirstWinsAndSkipsTheRest) {
    auto t = parseDriveMap("# letter\tsource\n"
                           "\n"
                           "F:\t/x/b.img\t1024\t2048\tro,cdrom\t/media/u/CD\r\n"
                           "e:\t/x/a.img\t512\t4096\trw\n"
                           "E:\t/x/dup.img\t0\t0\trw\n"    // second E: loses
                           "A:\t/x/floppy.img\t0\t0\trw\n" // no A: or B:
                           "G:\t/x/c.img\tnotanumber\t0\trw\n"
                           "H:\t/x/d.img\t100\t0\trw\n" // not on a sector
                           "I:\t/x/e.img\t0\t0\tweird\n"
                           "J: /x/spaces.img 0 0 rw\n" // tabs, not blanks
                           "K:\t/x/k.img\t0\t0\n");    // flags may be left out
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].letter, 'E');
#ifdef _WIN32
    EXPECT_EQ(t[0].source, "\\x\\a.img"); // the system's own separator
#else
    EXPECT_EQ(t[0].source, "/x/a.img");
#endif
    EXPECT_EQ(t[0].offset, 512u);
    EXPECT_EQ(t[0].length, 4096u);
    EXPECT_FALSE(t[0].readOnly);
    EXPECT_TRUE(t[0].mount.empty());
    EXPECT_EQ(t[1].letter, 'F');
    EXPECT_TRUE(t[1].readOnly);
    EXPECT_TRUE(t[1].cdrom);
    EXPECT_EQ(t[1].mount, "/media/u/CD");
    EXPECT_EQ(t[2].letter, 'K');
}

TEST(DriveMapParse, RelativeSourcesLieInTheMapsFolder) {
    const char *text = "E:\tdata.img\t0\t0\trw\n"
                       "F:\tsub/f.img\t0\t0\trw\n"
                       "G:\t/abs/g.img\t0\t0\trw\n";
#ifdef _WIN32
    std::string withBackslash = std::string(text) + "H:\tsub\\h.img\t0\t0\trw\n"
                                                    "I:\tC:/x/i.img\t0\t0\trw\n"
                                                    "J:\t\\\\.\\PhysicalDrive1\t0\t0\tro\n";
    auto t = parseDriveMap(withBackslash, "Z:\\disks/one");
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0].source, "Z:\\disks\\one\\data.img");
    EXPECT_EQ(t[1].source, "Z:\\disks\\one\\sub\\f.img");
    EXPECT_EQ(t[2].source, "\\abs\\g.img"); // rooted on the current drive
    EXPECT_EQ(t[3].source, "Z:\\disks\\one\\sub\\h.img");
    EXPECT_EQ(t[4].source, "C:\\x\\i.img");
    EXPECT_EQ(t[5].source, "\\\\.\\PhysicalDrive1");
    EXPECT_EQ(parseDriveMap(text, "C:\\")[0].source, "C:\\data.img");
#else
    auto t = parseDriveMap(text, "/disks/one");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].source, "/disks/one/data.img");
    EXPECT_EQ(t[1].source, "/disks/one/sub/f.img");
    EXPECT_EQ(t[2].source, "/abs/g.img");
    EXPECT_EQ(parseDriveMap(text, "/")[0].source, "/data.img");
    EXPECT_EQ(parseDriveMap(text, "/disks/one/")[0].source, "/disks/one/data.img");
#endif
    // Without a folder a relative source stays relative (to the current directory).
    EXPECT_EQ(parseDriveMap(text)[0].source, "data.img");
}

TEST(MountInfoParse, RootIsCThenRealBlockDevicesByMountPoint) {
    const char *text = "21 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                       "22 21 0:5 / /proc rw - proc proc rw\n"
                       "23 21 8:17 / /media/usb\\040stick rw - vfat /dev/sdb1 rw\n"
                       "24 21 8:2 / /boot rw - ext4 /dev/sda2 rw\n"
                       "25 21 8:1 /home/u/data /srv/bound rw - ext4 /dev/sda1 rw\n" // bind of a folder
                       "26 21 0:30 / /run rw - tmpfs tmpfs rw\n"
                       "27 21 8:33 / /mnt/old rw - ext4 /dev/sdc1 rw\n"
                       "28 27 0:31 / /mnt/old rw - tmpfs tmpfs rw\n"; // hides /dev/sdc1
    auto t = parseMountInfo(text);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].letter, 'C');
    EXPECT_EQ(t[0].mount, "/");
    EXPECT_EQ(t[0].source, "/dev/sda1");
    EXPECT_EQ(t[1].letter, 'D');
    EXPECT_EQ(t[1].mount, "/boot");
    EXPECT_EQ(t[2].letter, 'E');
    EXPECT_EQ(t[2].mount, "/media/usb stick");
    EXPECT_EQ(t[2].source, "/dev/sdb1");
}

TEST(MountInfoParse, StopsAtZ) {
    std::string text = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
    for (int i = 0; i < 30; ++i) {
        char point[32];
        snprintf(point, sizeof point, "/m/%02d", i);
        text += "2 1 8:2 / " + std::string(point) + " rw - ext4 /dev/sdx" + std::to_string(i) + " rw\n";
    }
    auto t = parseMountInfo(text);
    ASSERT_EQ(t.size(), 24u); // C: .. Z:
    EXPECT_EQ(t.back().letter, 'Z');
    EXPECT_EQ(t.back().mount, "/m/22");
}

#ifndef _WIN32
TEST(MachineDrives, WithoutADriveMapTheRootIsDriveC) {
    unsetEnv("FLASHDISK_DRIVES");
    unsetEnv("FLASHDISK_EMULATOR");
    EXPECT_TRUE(logicalDriveMask() & (1u << 2));
    EXPECT_EQ(driveOfDirectory("/"), "C:");
    auto size = volumeTotalBytes("C:");
    ASSERT_TRUE(size.has_value());
    EXPECT_GT(*size, 0u);
}

#endif

#ifndef _WIN32
TEST_F(DriveMapTest, MaskSizesAndSectorReadsFollowTheMap) {
    Volume e = makeVolume(dir, "e", "-F 12 -S 512 -s 1", 1024);
    Volume f = makeVolume(dir, "f", "-F 16 -S 512 -s 4", 16384, 63);
    writeMap(line('E', e) + line('F', f) + "G:\t" + (dir / "missing.img") + "\t0\t0\trw\n");

    EXPECT_EQ(logicalDriveMask(), (1u << 4) | (1u << 5) | (1u << 6));
    // mtools reports every cluster of a fresh volume free: that is its data size.
    EXPECT_EQ(volumeTotalBytes("E:").value_or(0), bytesFree(e));
    EXPECT_EQ(volumeTotalBytes("f:").value_or(0), bytesFree(f));
    EXPECT_FALSE(volumeTotalBytes("G:"));
    EXPECT_FALSE(volumeTotalBytes("H:"));
    EXPECT_FALSE(volumeTotalBytes("Ex"));

    uint8_t s[512];
    ASSERT_TRUE(readVolumeSector(4, 0, s));
    EXPECT_EQ(std::vector<uint8_t>(s, s + 512), readFile(e.container, e.offset, 512));
    uint32_t last = uint32_t(f.length / 512 - 1);
    ASSERT_TRUE(readVolumeSector(5, last, s));
    EXPECT_EQ(std::vector<uint8_t>(s, s + 512), readFile(f.container, f.offset + last * 512ull, 512));
    EXPECT_FALSE(readVolumeSector(5, last + 1, s));
    EXPECT_FALSE(readVolumeSector(6, 0, s));
    EXPECT_FALSE(readVolumeSector(7, 0, s));
}

TEST_F(DriveMapTest, ReadsStayInsideTheMappedLength) {
    Volume e = makeVolume(dir, "e", "-F 12", 1024);
    // The map gives the volume 4 sectors; the image holds much more.
    Volume narrow = e;
    narrow.length = 4 * 512;
    writeMap(line('E', narrow) + "F:\t" + e.container + "\t0\t0\trw\n");
    uint8_t s[512];
    EXPECT_TRUE(readVolumeSector(4, 3, s));
    EXPECT_FALSE(readVolumeSector(4, 4, s));
    // Without a length the volume runs to the end of its source, not beyond.
    uint64_t sectors = fs::file_size(e.container) / 512;
    EXPECT_TRUE(readVolumeSector(5, uint32_t(sectors - 1), s));
    EXPECT_FALSE(readVolumeSector(5, uint32_t(sectors), s));
    EXPECT_FALSE(readVolumeSector(5, 0xFFFFFFFFu, s));
    // A volume claiming more space than the map gives it is not written to.
    std::vector<uint8_t> data(10, 1);
    EXPECT_FALSE(createDriveFile("E:\\log.log", data.data(), data.size(), 0));
}

#endif

TEST_F(DriveMapTest, AMissingDriveMapMeansNoDrives) {
    EXPECT_EQ(logicalDriveMask(), 0u);
    writeMap("garbage without tabs\n\x01\x02\n");
    EXPECT_EQ(logicalDriveMask(), 0u);
}

#ifndef _WIN32
TEST_F(DriveMapTest, EmulatorDirectoryNamesTheMapWhenNoOtherIs) {
    unsetEnv("FLASHDISK_DRIVES");
    setEnv("FLASHDISK_EMULATOR", dir.path.string());
    Volume e = makeVolume(dir, "e", "-F 12", 1024);
    writeMap(line('E', e));
    EXPECT_EQ(driveMapPath(), map);
    EXPECT_EQ(logicalDriveMask(), 1u << 4);
}

TEST_F(DriveMapTest, FilesWrittenIntoEachFatKindAreReadByMtoolsAndPassFsck) {
    struct Kind {
        const char *name;
        const char *args;
        uint32_t kb;
        uint64_t clusterBytes;
    } kinds[] = {
        {"fat12", "-F 12 -s 1", 1224, 512}, {"fat16", "-F 16 -s 2", 20000, 1024}, {"fat32", "-F 32 -s 1", 40000, 512}};
    for (const Kind &k : kinds) {
        SCOPED_TRACE(k.name);
        Volume v = makeVolume(dir, k.name, k.args, k.kb);
        writeMap(line('E', v));
        uint64_t before = bytesFree(v);

        // Three clusters and a bit, so the chain has links in the FAT.
        std::vector<uint8_t> data = pattern(3 * 1024 + 100, 0x11);
        ASSERT_TRUE(createDriveFile("E:\\log.log", data.data(), data.size(), kAttrHidden));
        std::string out = mtools("mtype", v, "::LOG.LOG");
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), data);
        EXPECT_NE(mtools("mattrib", v, "::LOG.LOG").find("H"), std::string::npos);
        int status = -1;
        out = fsck(dir, v, &status);
        EXPECT_EQ(status, 0) << out;
        uint64_t used = before - bytesFree(v);
        EXPECT_EQ(used, (data.size() + k.clusterBytes - 1) / k.clusterBytes * k.clusterBytes);

        // Replaced by a smaller file: the old clusters come back.
        std::vector<uint8_t> small = pattern(512, 0x5C);
        ASSERT_TRUE(createDriveFile("E:\\LOG.LOG", small.data(), small.size(), kAttrHidden));
        out = mtools("mtype", v, "::LOG.LOG");
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), small);
        EXPECT_EQ(before - bytesFree(v), k.clusterBytes);
        out = fsck(dir, v, &status);
        EXPECT_EQ(status, 0) << out;
        out = mtools("mdir", v, "-a ::");
        EXPECT_EQ(out.find("LOG      LOG"), out.rfind("LOG      LOG")) << "one entry only:\n" << out;
    }
}

TEST_F(DriveMapTest, ReplacesAFileOtherToolsWroteAndKeepsTheirFiles) {
    Volume v = makeVolume(dir, "v", "-F 16", 16384);
    writeMap(line('E', v));
    std::string other = dir / "other.bin";
    writeFile(other, pattern(40000, 3));
    std::string old = dir / "log.log";
    writeFile(old, pattern(9000, 9));
    int status = -1;
    mtools("mcopy", v, other + " ::OTHER.BIN", &status);
    ASSERT_EQ(status, 0);
    mtools("mcopy", v, old + " ::LOG.LOG", &status);
    ASSERT_EQ(status, 0);
    // Some writers leave lower-case letters in short names; it is still the same file.
    {
        std::vector<uint8_t> image = readFile(v.container);
        const uint8_t *bs = &image[v.offset];
        uint64_t root = v.offset + (bo::getLE16(bs + 14) + uint64_t(bs[16]) * bo::getLE16(bs + 22)) * 512;
        bool patched = false;
        for (uint64_t at = root; at < root + 512 * 32 && !patched; at += 32)
            if (std::memcmp(&image[at], "LOG     LOG", 11) == 0) {
                std::memcpy(&image[at], "log     log", 11);
                patched = true;
            }
        ASSERT_TRUE(patched);
        writeFile(v.container, image);
    }
    uint64_t freeBefore = bytesFree(v);

    std::vector<uint8_t> record(512, 0);
    record[0] = record[1] = record[2] = record[3] = 0xA5;
    ASSERT_TRUE(createDriveFile("E:\\log.log", record.data(), record.size(), kAttrHidden));
    std::string out = mtools("mtype", v, "::LOG.LOG");
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), record);
    out = mtools("mtype", v, "::OTHER.BIN");
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), pattern(40000, 3));
    EXPECT_GT(bytesFree(v), freeBefore); // 9000 bytes out, 512 in
    out = mtools("mdir", v, "-a ::");
    EXPECT_EQ(out.find("log      log"), std::string::npos) << out;
    out = fsck(dir, v, &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(DriveMapTest, Fat32RootDirectoryGrowsWhenFullFixedRootsRefuse) {
    Volume v32 = makeVolume(dir, "v32", "-F 32 -s 1", 40000);
    // FAT32 root: one cluster of 512 bytes holds 16 entries (one is the label).
    std::string src = dir / "f.txt";
    writeFile(src, pattern(10, 1));
    int status = -1;
    for (int i = 0; i < 15; ++i) {
        mtools("mcopy", v32, src + " ::F" + std::to_string(i) + ".TXT", &status);
        ASSERT_EQ(status, 0);
    }
    writeMap(line('E', v32));
    std::vector<uint8_t> data = pattern(700, 4);
    ASSERT_TRUE(createDriveFile("E:\\log.log", data.data(), data.size(), 0));
    std::string out = mtools("mtype", v32, "::LOG.LOG");
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), data);
    out = fsck(dir, v32, &status);
    EXPECT_EQ(status, 0) << out;
    // FSInfo's free count must agree with the FAT (fsck.fat -v checks it).
    std::string cut = dir / "fsck.vol";
    out = run("fsck.fat -n -v " + cut, &status);
    EXPECT_EQ(out.find("Free cluster summary wrong"), std::string::npos) << out;

    // A fixed root of 17 entries, full, though its second sector has room for
    // 15 more that no reader looks at.
    Volume v12 = makeVolume(dir, "v12", "-F 12 -r 32", 1024);
    for (int i = 0; i < 17; ++i) {
        mtools("mcopy", v12, src + " ::F" + std::to_string(i) + ".TXT", &status);
        ASSERT_EQ(status, 0);
    }
    std::vector<uint8_t> image = readFile(v12.container);
    bo::putLE16(&image[v12.offset + 17], 17);
    writeFile(v12.container, image);
    writeMap(line('E', v12));
    EXPECT_FALSE(createDriveFile("E:\\log.log", data.data(), data.size(), 0));
    EXPECT_EQ(readFile(v12.container), image) << "a refused write leaves the volume as it was";
}

TEST_F(DriveMapTest, RefusesWhatCannotBeWritten) {
    Volume v = makeVolume(dir, "v", "-F 12", 1024);
    std::string junk = dir / "junk.img";
    writeFile(junk, pattern(64 * 1024, 0x33));
    // A boot sector whose FATs cannot hold its clusters.
    std::vector<uint8_t> tiny = readFile(v.container);
    bo::putLE16(&tiny[v.offset + 22], 1);
    std::string tinyPath = dir / "tiny.img";
    writeFile(tinyPath, tiny);
    writeMap(line('E', v, "ro") + line('F', v, "rw,cdrom") + "G:\t" + junk + "\t0\t0\trw\n" + "H:\t" +
             (dir / "missing.img") + "\t0\t0\trw\n" + "I:\t" + tinyPath + "\t" + std::to_string(v.offset) +
             "\t0\trw\n" + line('J', v));
    std::vector<uint8_t> data(512, 7);
    EXPECT_FALSE(createDriveFile("E:\\log.log", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("F:\\log.log", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("G:\\log.log", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("H:\\log.log", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("I:\\log.log", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("K:\\log.log", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("J:\\sub\\log.log", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("J:\\a very long name.txt", data.data(), data.size(), 0));
    EXPECT_FALSE(createDriveFile("J:\\", data.data(), data.size(), 0));
    EXPECT_FALSE(volumeTotalBytes("G:"));
    EXPECT_TRUE(volumeTotalBytes("I:").has_value()) << "size needs only the boot sector";
    EXPECT_TRUE(createDriveFile("J:\\log.log", data.data(), data.size(), 0));
    // A volume too full for the file is left alone.
    std::vector<uint8_t> huge(2 * 1024 * 1024, 1);
    std::vector<uint8_t> image = readFile(v.container);
    EXPECT_FALSE(createDriveFile("J:\\big.bin", huge.data(), huge.size(), 0));
    EXPECT_EQ(readFile(v.container), image);
}

TEST_F(DriveMapTest, MountedDrivesTakeFilesInTheirDirectoryAndOwnTheirSubfolders) {
    Volume v = makeVolume(dir, "v", "-F 12", 1024);
    fs::create_directories(dir.path / "mnt" / "sub");
    fs::create_directories(dir.path / "mnt2");
    writeMap(line('E', v, "rw", dir / "mnt") + line('F', v, "rw", dir / "mnt/sub"));
    std::vector<uint8_t> data = pattern(512, 2);
    ASSERT_TRUE(createDriveFile("E:\\log.log", data.data(), data.size(), kAttrHidden));
    EXPECT_EQ(readFile(dir / "mnt/log.log"), data);
    std::vector<uint8_t> shorter = pattern(10, 5);
    ASSERT_TRUE(createDriveFile("E:\\log.log", shorter.data(), shorter.size(), kAttrHidden));
    EXPECT_EQ(readFile(dir / "mnt/log.log"), shorter);
    EXPECT_FALSE(createDriveFile("E:\\..\\escape.txt", data.data(), data.size(), 0));
    EXPECT_FALSE(fs::exists(dir.path / "escape.txt"));

    EXPECT_EQ(driveOfDirectory(dir / "mnt"), "E:");
    EXPECT_EQ(driveOfDirectory(dir / "mnt/"), "E:");
    EXPECT_EQ(driveOfDirectory(dir / "mnt/sub/deeper"), "F:");
    EXPECT_EQ(driveOfDirectory(dir / "mnt2"), "");
    EXPECT_EQ(driveOfDirectory(""), "");
    // Size of a mounted drive comes from the file system holding the directory.
    EXPECT_TRUE(volumeTotalBytes("E:").has_value());
}

#endif

TEST_F(DriveMapTest, ARelativeSourceIsReadFromBesideTheMapWhateverTheCurrentDirectory) {
    // A disk directory of its own, away from the current directory, holding its
    // map and an image named plainly; the map itself is named by a relative path
    // once the current directory is the disk's parent.
    fs::path disk = dir.path / "disk";
    fs::create_directories(disk / "sub");
    std::vector<uint8_t> image = pattern(8 * 512, 0x21);
    std::vector<uint8_t> other = pattern(4 * 512, 0x42);
    writeFile((disk / "data.img").string(), image);
    writeFile((disk / "sub" / "other.img").string(), other);
    std::ofstream((disk / "drives").string()) << "E:\tdata.img\t1024\t2048\trw\n"
                                              << "F:\tsub/other.img\t0\t0\tro\n"
                                              << "G:\tnot-there.img\t0\t0\trw\n";
    ASSERT_NE(fs::current_path(), disk);

    uint8_t s[512];
    for (const std::string &mapName : {(disk / "drives").string(), std::string("disk/drives")}) {
        SCOPED_TRACE(mapName);
        fs::path before = fs::current_path();
        if (mapName == "disk/drives") fs::current_path(dir.path);
        setEnv("FLASHDISK_DRIVES", mapName);
        EXPECT_EQ(logicalDriveMask(), (1u << 4) | (1u << 5) | (1u << 6));
        ASSERT_TRUE(readVolumeSector(4, 3, s));
        EXPECT_EQ(std::vector<uint8_t>(s, s + 512),
                  std::vector<uint8_t>(image.begin() + 1024 + 3 * 512, image.begin() + 1024 + 4 * 512));
        EXPECT_FALSE(readVolumeSector(4, 4, s)) << "still bounded by the map's length";
        ASSERT_TRUE(readVolumeSector(5, 1, s));
        EXPECT_EQ(std::vector<uint8_t>(s, s + 512), std::vector<uint8_t>(other.begin() + 512, other.begin() + 1024));
        EXPECT_FALSE(readVolumeSector(6, 0, s));
        fs::current_path(before);
    }

    // The emulator's disk directory names the same map.
    unsetEnv("FLASHDISK_DRIVES");
    setEnv("FLASHDISK_EMULATOR", disk.string());
    ASSERT_TRUE(readVolumeSector(5, 3, s));
    EXPECT_EQ(std::vector<uint8_t>(s, s + 512), std::vector<uint8_t>(other.begin() + 3 * 512, other.end()));
    auto table = driveTable();
    ASSERT_EQ(table.size(), 3u);
    EXPECT_TRUE(fs::equivalent(table[0].source, disk / "data.img"));
}

#ifdef _WIN32
TEST(MachineDrives, TheSystemsOwnDrivesWithoutADriveMap) {
    unsetEnv("FLASHDISK_DRIVES");
    unsetEnv("FLASHDISK_EMULATOR");
    uint32_t mask = logicalDriveMask();
    EXPECT_EQ(mask, uint32_t(GetLogicalDrives()));
    // Wine gives every prefix C: (its own folder) and Z: (the host's root).
    EXPECT_TRUE(mask & (1u << 2)) << std::hex << mask;
    EXPECT_TRUE(mask & (1u << 25)) << std::hex << mask;
    auto table = driveTable();
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(table[0].source.rfind("\\\\.\\", 0), 0u) << table[0].source;

    DWORD spc = 0, bps = 0, freeClusters = 0, clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("C:\\", &spc, &bps, &freeClusters, &clusters));
    EXPECT_EQ(volumeTotalBytes("C:").value_or(0), uint64_t(spc) * bps * clusters);
    EXPECT_EQ(volumeTotalBytes("c:\\").value_or(0), uint64_t(spc) * bps * clusters);
    char absent = 0;
    for (char l = 'Y'; l >= 'D' && !absent; --l)
        if (!(mask & (1u << (l - 'A')))) absent = l;
    ASSERT_NE(absent, 0);
    EXPECT_FALSE(volumeTotalBytes((std::string(1, absent) + ":").c_str()));
    uint8_t s[512];
    EXPECT_FALSE(readVolumeSector(uint32_t(absent - 'A'), 0, s));

    EXPECT_EQ(driveOfDirectory("C:\\windows\\system32"), "C:");
    EXPECT_EQ(driveOfDirectory("c:/windows"), "C:");
    std::string program = fs::current_path().string();
    EXPECT_EQ(driveOfDirectory(program), std::string(1, char(std::toupper(program[0]))) + ":") << program;
    EXPECT_EQ(driveOfDirectory(std::string(1, absent) + ":\\x"), "");
    EXPECT_EQ(driveOfDirectory("\\\\server\\share\\x"), "");
}

TEST(MachineDrives, FilesOnASystemDriveReplaceHiddenAndReadOnlyOnes) {
    unsetEnv("FLASHDISK_DRIVES");
    unsetEnv("FLASHDISK_EMULATOR");
    TempDir dir;
    std::string file = dir / "log.log";
    ASSERT_EQ(file[1], ':') << file;
    std::vector<uint8_t> first = pattern(3000, 1);
    ASSERT_TRUE(createDriveFile(file, first.data(), first.size(), kAttrHidden | kAttrReadOnly));
    EXPECT_EQ(readFile(file), first);
    DWORD attributes = GetFileAttributesA(file.c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    // A hidden, read-only file of that name is replaced, shorter, as asked.
    std::vector<uint8_t> second = pattern(10, 9);
    ASSERT_TRUE(createDriveFile(file, second.data(), second.size(), kAttrHidden));
    EXPECT_EQ(readFile(file), second);
    attributes = GetFileAttributesA(file.c_str());
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_READONLY);
    // A folder of that name is not replaced, and nothing leaves the drive's tree.
    fs::create_directory(dir.path / "folder");
    EXPECT_FALSE(createDriveFile(dir / "folder", second.data(), second.size(), 0));
    EXPECT_TRUE(fs::is_directory(dir.path / "folder"));
    EXPECT_FALSE(createDriveFile(dir / "..\\escape.txt", second.data(), second.size(), 0));
    EXPECT_FALSE(fs::exists(dir.path.parent_path() / "escape.txt"));
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Images made by mkfs.fat on the build machine (see CMakeLists.txt): FAT12 and
// FAT32, each behind a lead of 32 filler sectors as a volume sits in a disk.
TEST_F(DriveMapTest, FilesWrittenIntoMappedFatImagesThroughRelativeSources) {
    fs::path images = PLATFORM_FAT_IMAGES;
    if (!fs::exists(images / "fat12.img")) GTEST_SKIP() << "mkfs.fat was not found on the build machine";
    fs::path checked = images / "written";
    fs::remove_all(checked); // nothing of an earlier run is checked again
    fs::path disk = dir.path / "disk";
    fs::create_directories(disk / "sub");
    fs::copy_file(images / "fat12.img", disk / "data.img");
    fs::copy_file(images / "fat32.img", disk / "sub" / "big.img");
    const uint64_t lead = 32 * 512;
    // One source with '\\', one with '/', both relative to the map's folder.
    std::ofstream((disk / "drives").string()) << "E:\tdata.img\t" << lead << "\t0\trw\n"
                                              << "F:\tsub/big.img\t" << lead << "\t0\trw\n"
                                              << "G:\tsub\\big.img\t" << lead << "\t0\tro\n";
    setEnv("FLASHDISK_DRIVES", (disk / "drives").string());

    // Written twice, a short file then a longer one in its place, so the
    // replaced file's cluster is given back and the new chain has links; what
    // each volume holds in the end is checked by fsck.fat and mtools after
    // this test (check_fat_images.sh).
    std::vector<uint8_t> data = pattern(5000, 0x3C);
    for (const char *drive : {"E:", "F:"}) {
        SCOPED_TRACE(drive);
        fs::path image = drive[0] == 'E' ? disk / "data.img" : disk / "sub" / "big.img";
        std::vector<uint8_t> before = readFile(image.string());
        ASSERT_TRUE(volumeTotalBytes(drive).has_value());
        std::vector<uint8_t> small = pattern(100, 0x77);
        ASSERT_TRUE(createDriveFile(std::string(drive) + "\\log.log", small.data(), small.size(), kAttrHidden));
        ASSERT_TRUE(createDriveFile(std::string(drive) + "\\LOG.LOG", data.data(), data.size(), 0));
        std::vector<uint8_t> after = readFile(image.string());
        ASSERT_EQ(after.size(), before.size());
        EXPECT_EQ(std::memcmp(after.data(), before.data(), lead), 0) << "the lead before the volume is untouched";
        EXPECT_NE(after, before);
    }
    // The read-only drive over the same image refuses, and the image stays as it was.
    std::vector<uint8_t> image = readFile((disk / "sub" / "big.img").string());
    std::vector<uint8_t> refused(10, 1);
    EXPECT_FALSE(createDriveFile("G:\\other.txt", refused.data(), refused.size(), 0));
    EXPECT_EQ(readFile((disk / "sub" / "big.img").string()), image);
    // Sector 0 of F: and G: is the boot sector after the lead.
    uint8_t s[512];
    ASSERT_TRUE(readVolumeSector(6, 0, s));
    EXPECT_EQ(std::vector<uint8_t>(s, s + 512), std::vector<uint8_t>(image.begin() + lead, image.begin() + lead + 512));

    // Leave the written images for the build machine's FAT tools to check.
    fs::create_directories(checked);
    fs::copy_file(disk / "data.img", checked / "fat12.img", fs::copy_options::overwrite_existing);
    fs::copy_file(disk / "sub" / "big.img", checked / "fat32.img", fs::copy_options::overwrite_existing);
    writeFile((checked / "log.expected").string(), data);
}
#endif
