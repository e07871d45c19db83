// The emulator's own pieces: its MD5, the factory disks it makes, the table the
// controller finds at a reset, and the login by file of refuse-raw-access hosts
// against volumes made and filled by dosfstools and mtools.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "DiskFiles.h"
#include "ScsiTestSupport.h"
#include "file_io.h"

using namespace scsitest;
namespace ad = cfgtbl::addr;

namespace {

std::string hex(const std::array<uint8_t, 16> &d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

Sector infoSector(const std::string &dir, uint32_t page, uint32_t slot) {
    Sector s{};
    if (!flashemu::readInfoSector(dir, page, slot, s.data())) throw std::runtime_error("readInfoSector failed");
    return s;
}

// The information sectors after a table at page p, PageSectors 4.
std::vector<uint8_t> infoRun(const std::string &dir, uint32_t p, uint32_t n) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < n; ++i) {
        Sector s = infoSector(dir, p + 1 + i / 4, i % 4);
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

int sh(const std::string &cmd) { return std::system(cmd.c_str()); }

// Copies a file into the data image at a byte offset, as the host's own file
// system driver would have left it there.
void placeImage(const std::string &dir, const std::string &image, uint64_t offset) {
    std::string bytes;
    ASSERT_TRUE(fileio::readWholeFile(image, &bytes));
    fileio::File data(flashemu::dataImagePath(dir), fileio::File::Mode::ReadWrite);
    ASSERT_TRUE(data.isOpen());
    ASSERT_TRUE(data.writeAt(offset, bytes.data(), bytes.size()));
    ASSERT_TRUE(data.close());
}

std::string readImage(const std::string &image) {
    std::string bytes;
    if (!fileio::readWholeFile(image, &bytes)) throw std::runtime_error("cannot read " + image);
    return bytes;
}

// Sends the sectors that differ between two states of a volume to the device
// the way the host's block layer would after its file system changed them, and
// flushes them; the number of sectors sent.
size_t writeChangedSectors(const std::string &dir, uint64_t volFirst, const std::string &before,
                           const std::string &after) {
    size_t sent = 0;
    for (size_t off = 0; off + 512 <= after.size(); off += 512) {
        if (before.compare(off, 512, after, off, 512) == 0) continue;
        if (!flashemu::writeHostSectors(dir, volFirst + off / 512, 1, reinterpret_cast<const uint8_t *>(&after[off])))
            throw std::runtime_error("the device refused a host write");
        ++sent;
    }
    flashemu::flushHostWrites(dir);
    return sent;
}

} // namespace

TEST(EmulatorMd5, MatchesTheRfc1321Suite) {
    struct {
        const char *in, *out;
    } suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (auto &c : suite) EXPECT_EQ(hex(digestOf(c.in)), c.out) << '"' << c.in << '"';
    // Lengths around the padding boundary (55, 56, 64 bytes) take one or two tail blocks.
    std::string a55(55, 'a'), a56(56, 'a'), a64(64, 'a');
    EXPECT_EQ(hex(digestOf(a55)), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(hex(digestOf(a56)), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(hex(digestOf(a64)), "014842d480b571495a4a0363793f7367");
}

TEST(EmulatorFactory, VersionTableCopiesAreSealedAndMarked) {
    for (uint8_t n : {8, 16}) {
        SCOPED_TRACE(int(n));
        TempDir dir;
        flashemu::DiskOptions o;
        o.sectors = 123456;
        o.infoSectors = n;
        o.label = "MY DISK";
        o.variantFlag = 1;
        o.interleaved = true;
        o.interleave2 = true;
        ASSERT_TRUE(flashemu::createDisk(dir.path, o));
        EXPECT_TRUE(flashemu::isDisk(dir.path));
        for (uint32_t page : {8u, 40u}) {
            Sector t = infoSector(dir.path, page, 0);
            EXPECT_EQ(bo::getLE32(t.data()), 0x5A5A5A5Au);
            EXPECT_EQ(xorWords(t.data(), 128), 0u);
            EXPECT_NE(bo::getLE32(t.data() + cfgtbl::kCheckWord), 0u);
            EXPECT_EQ(0, std::memcmp(t.data() + 204, "2.00", 4));
            EXPECT_EQ(t[cfgtbl::kInfoSectors], n);
            EXPECT_EQ(0, std::memcmp(t.data() + cfgtbl::kLabel, "MY DISK    ", 11));
            EXPECT_EQ(t[cfgtbl::kRemovable], 0x80);
            EXPECT_EQ(t[cfgtbl::kLayoutKind], 0);
            EXPECT_EQ(t[cfgtbl::kVariantFlag], 1);
            EXPECT_EQ(t[cfgtbl::kFlags232], cfgtbl::kFlagInterleave2);
            EXPECT_EQ(t[cfgtbl::kFlags272], cfgtbl::kFlagInterleaved);
            EXPECT_EQ(bo::getLE32(t.data() + cfgtbl::kArea0Size), 123456u);
            EXPECT_EQ(bo::getLE16(t.data() + cfgtbl::kBlockPage), page);
            std::vector<uint8_t> info = infoRun(dir.path, page, n);
            for (size_t h = 0; h < info.size(); h += 4096) {
                EXPECT_EQ(bo::getLE32(info.data() + h + 4088), 0xA5A5A5A5u);
                EXPECT_EQ(xorWords(info.data() + h, 1024), 0u) << "check word closes the half";
            }
        }
        Sector erased;
        erased.fill(0xFF);
        EXPECT_EQ(infoSector(dir.path, 0, 0), erased);
        EXPECT_EQ(infoSector(dir.path, 48, 0), erased) << "the next candidate page is untouched";
    }
}

TEST(EmulatorFactory, MakerTableSealAndNoTableAndBadOptions) {
    TempDir dir;
    flashemu::DiskOptions o;
    o.sectors = 5000;
    o.table = flashemu::TableKind::Maker;
    o.backupPage = -1;
    ASSERT_TRUE(flashemu::createDisk(dir.path, o));
    Sector t = infoSector(dir.path, 8, 0);
    EXPECT_EQ(0, std::memcmp(t.data() + 503, "Morvantek", 9));
    EXPECT_EQ(t[cfgtbl::kMakerInfoSectors], 8);
    std::vector<uint8_t> run(t.begin(), t.end());
    std::vector<uint8_t> info = infoRun(dir.path, 8, 8);
    run.insert(run.end(), info.begin(), info.end());
    std::array<uint8_t, 16> seal;
    std::memcpy(seal.data(), run.data() + run.size() - 16, 16);
    std::memset(run.data() + run.size() - 16, 0, 16);
    EXPECT_EQ(flashemu::md5(run.data(), run.size()), seal);
    Sector erased;
    erased.fill(0xFF);
    EXPECT_EQ(infoSector(dir.path, 40, 0), erased) << "no backup copy";
    flashemu::DiskStatus st;
    ASSERT_TRUE(flashemu::getStatus(dir.path, &st));
    EXPECT_TRUE(st.haveTable) << "the controller takes a sealed MakerTable";

    TempDir none;
    o.table = flashemu::TableKind::None;
    ASSERT_TRUE(flashemu::createDisk(none.path, o));
    ASSERT_TRUE(flashemu::getStatus(none.path, &st));
    EXPECT_FALSE(st.haveTable);
    std::ifstream drives(flashemu::drivesPath(none.path));
    std::string all((std::istreambuf_iterator<char>(drives)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("\t0\t2560000\trw"), std::string::npos) << "without a table the whole disk shows";
}

TEST(EmulatorReset, FindsTheFirstSoundCopyAsTheHostWould) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    auto digest = digestOf("pw");
    Sector t = withLayout(d.table(), 2, 2500, 37500, 0, 2500, 0, digest);

    // A damaged primary (XOR broken) falls back to the backup at page 40.
    std::vector<uint8_t> info(8 * 512);
    ASSERT_TRUE(d.writeInfoBlock(40, t, info));
    Sector broken = infoSector(d.dir.path, 8, 0);
    broken[100] ^= 1;
    ASSERT_TRUE(flashemu::writeInfoSector(d.dir.path, 8, 0, broken.data()));
    ASSERT_TRUE(d.reset());
    EXPECT_EQ(d.status().table[cfgtbl::kLayoutKind], 2);
    EXPECT_TRUE(d.login(digest));

    // A sound table sector whose information sectors lack the mark is skipped.
    ASSERT_TRUE(d.prepare(40));
    ASSERT_TRUE(d.reset());
    EXPECT_FALSE(d.status().haveTable);
    Sector t2 = withLayout(d.table(), 4, 1000, 0, 39000, 0, 1000);
    ASSERT_TRUE(d.prepare(4092));
    bo::putLE16(t2.data() + cfgtbl::kBlockPage, 4092);
    sealTable(t2.data());
    ASSERT_TRUE(d.write((4092 + 0x20000000u) | ad::kInfoTableFlag, t2.data()));
    ASSERT_TRUE(d.reset());
    EXPECT_FALSE(d.status().haveTable);
    // ...and found once the marks are there, even as the last candidate.
    ASSERT_TRUE(d.writeInfoBlock(4092, t2, info));
    ASSERT_TRUE(d.reset());
    ASSERT_TRUE(d.status().haveTable);
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 512000 rw", "F: 512000 19968000 rw"}));
}

TEST(EmulatorReset, MakerTableWithBrokenSealIsIgnored) {
    flashemu::DiskOptions o = Device::small();
    o.table = flashemu::TableKind::Maker;
    Device d(o);
    ASSERT_EQ(d.open(), 0);
    ASSERT_TRUE(d.status().haveTable);
    Sector s = infoSector(d.dir.path, 10, 3);
    s[0] ^= 0x80;
    ASSERT_TRUE(flashemu::writeInfoSector(d.dir.path, 10, 3, s.data()));
    ASSERT_TRUE(d.reset());
    EXPECT_TRUE(d.status().haveTable) << "the backup copy at page 40 is sound";
    Sector b = infoSector(d.dir.path, 42, 3);
    b[0] ^= 0x80;
    ASSERT_TRUE(flashemu::writeInfoSector(d.dir.path, 42, 3, b.data()));
    ASSERT_TRUE(d.reset());
    EXPECT_FALSE(d.status().haveTable);
}

TEST(EmulatorHost, AbsentDeviceShowsNoDrives) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(d.driveLines().size(), 1u);
    d.setFaults([](flashemu::Faults &f) { f.absent = true; });
    EXPECT_TRUE(d.driveLines().empty());
    Sector s{};
    EXPECT_FALSE(d.read(0, s.data())) << "an unplugged disk answers nothing";
    EXPECT_EQ(d.lib.GetDiskVolume(0), 0);
    d.setFaults([](flashemu::Faults &f) { f.absent = false; });
    EXPECT_EQ(d.lib.GetDiskVolume(0), 1 << 4) << "E: only";
}

// Login by file: a secure disk whose login volume is area 0; the controller takes
// the login from the host's writes of the file.
class LoginFile : public ::testing::TestWithParam<int> {};

TEST_P(LoginFile, LogFileWithTheDigestLogsTheDeviceIn) {
#ifdef _WIN32
    GTEST_SKIP() << "the volumes are made by dosfstools and mtools, which the Linux build runs";
#endif
    int fatBits = GetParam();
    flashemu::DiskOptions o = Device::small();
    uint32_t area0 = fatBits == 12 ? 2500 : fatBits == 16 ? 24000 : 70000;
    o.sectors = area0 + 20000;
    Device d(o);
    ASSERT_EQ(d.open(), 0);
    auto digest = digestOf("open sesame");
    Sector t = withLayout(d.table(), 2, area0, 20000, 0, area0, 0, digest);
    std::vector<uint8_t> info(8 * 512);
    ASSERT_TRUE(d.writeInfoBlock(8, t, info));
    ASSERT_TRUE(d.reset());

    // FAT16 sits behind a partition table at sector 32, as a boot layout puts it.
    uint32_t volStart = fatBits == 16 ? 32 : 0;
    if (volStart) {
        Sector mbr{};
        mbr[0x1BE] = 0x80;
        mbr[0x1C2] = 0x06;
        bo::putLE32(mbr.data() + 0x1C6, volStart);
        bo::putLE32(mbr.data() + 0x1CA, area0 - volStart);
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        ASSERT_TRUE(d.write(0, mbr.data()));
    }
    std::string img = d.dir.path + "/vol.img", rec = d.dir.path + "/rec.bin", other = d.dir.path + "/x.bin";
    uint32_t kib = (area0 - volStart) / 2;
    ASSERT_EQ(sh("mkfs.fat -C -F " + std::to_string(fatBits) + (fatBits == 32 ? " -s 1" : "") + " " + img + " " +
                 std::to_string(kib) + " >/dev/null 2>&1"),
              0);
    Sector file{};
    bo::putLE32(file.data(), 0xA5A5A5A5u);
    Sector wrong = file;
    std::memcpy(file.data() + 16, digest.data(), 16);
    std::memcpy(wrong.data() + 16, digestOf("open Sesame").data(), 16);
    {
        std::ofstream(other, std::ios::binary).write("x", 1);
        std::ofstream(rec, std::ios::binary).write(reinterpret_cast<const char *>(wrong.data()), 512);
    }
    // Other files first so the entry is not the first in the root directory.
    ASSERT_EQ(sh("MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " + other + " ::OTHER.TXT"), 0);
    std::string empty = readImage(img);
    placeImage(d.dir.path, img, uint64_t(volStart) * 512);
    const uint64_t volFirst = volStart;

    // The host's file system writes the file: a wrong digest does nothing.
    ASSERT_EQ(sh("MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " + rec + " ::LOG.LOG"), 0);
    std::string withWrong = readImage(img);
    ASSERT_GT(writeChangedSectors(d.dir.path, volFirst, empty, withWrong), 1u) << "entry, FAT and data";
    EXPECT_FALSE(flashemu::loggedIn(d.dir.path)) << "the wrong digest";

    // Rewritten with the right digest: the writes that complete it log in.
    std::ofstream(rec, std::ios::binary).write(reinterpret_cast<const char *>(file.data()), 512);
    ASSERT_EQ(sh("MTOOLS_SKIP_CHECK=1 mcopy -o -i " + img + " " + rec + " ::LOG.LOG"), 0);
    std::string withRight = readImage(img);
    EXPECT_GT(writeChangedSectors(d.dir.path, volFirst, withWrong, withRight), 0u);
    EXPECT_TRUE(flashemu::loggedIn(d.dir.path));
    EXPECT_EQ(d.driveLines()[0],
              "E: " + std::to_string(uint64_t(area0) * 512) + " " + std::to_string(20000 * 512) + " rw")
        << "E: now shows the secure area";

    // A replug logs out. The file left on the login volume does nothing: not
    // when a host opens the device, not on a write elsewhere in the volume.
    ASSERT_TRUE(flashemu::replug(d.dir.path));
    d.setFaults([](flashemu::Faults &f) { f.refuseRawAccess = true; });
    EXPECT_EQ(d.open(), 2);
    EXPECT_EQ(d.lib.GetDiskVolume(0), 1 << 4);
    Sector boot{};
    ASSERT_TRUE(flashemu::readPhysicalSectors(d.dir.path, volFirst, 1, boot.data()));
    ASSERT_TRUE(flashemu::writeHostSectors(d.dir.path, volFirst, 1, boot.data()));
    flashemu::flushHostWrites(d.dir.path);
    EXPECT_FALSE(flashemu::loggedIn(d.dir.path));
    // Written again (its data sector alone, as a rewrite in place sends), it
    // logs in whether or not the host has raw access.
    d.setFaults([](flashemu::Faults &f) { f.refuseRawAccess = false; });
    std::string touched = withRight;
    size_t at = withRight.find(std::string(reinterpret_cast<const char *>(file.data()), 512));
    ASSERT_NE(at, std::string::npos);
    touched[at + 100] ^= 1;
    EXPECT_EQ(writeChangedSectors(d.dir.path, volFirst, touched, withRight), 1u);
    EXPECT_TRUE(flashemu::loggedIn(d.dir.path));
}

INSTANTIATE_TEST_SUITE_P(Fat, LoginFile, ::testing::Values(12, 16, 32));

namespace {

std::string fileText(const std::string &path) {
    std::string s;
    fileio::readWholeFile(path, &s);
    return s;
}

std::string withCrLf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

} // namespace

// One disk directory serves the Linux and the Windows builds in turn, so its text
// files must read the same on both and may have passed through a Windows editor.
TEST(EmulatorFiles, TextFilesAreLfOnlyAndCrLfCopiesStillRead) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    ASSERT_TRUE(flashemu::setLogging(d.dir.path, true));
    d.setFaults([](flashemu::Faults &f) {
        f.failKind = "info";
        f.failNth = 3;
        f.writeProtected = true;
    });
    uint8_t params[40] = {'M', 'O', 'R', 'V', 'A', 'N'};
    ASSERT_EQ(d.open(params), 0);
    Sector s{};
    ASSERT_TRUE(d.read(ad::kDeviceInfo, s.data()));
    const std::string conf = flashemu::confPath(d.dir.path), log = flashemu::logPath(d.dir.path),
                      drives = flashemu::drivesPath(d.dir.path);
    for (const std::string &path : {conf, log, drives}) {
        std::string text = fileText(path);
        EXPECT_FALSE(text.empty()) << path;
        EXPECT_EQ(text.find('\r'), std::string::npos) << path << " is written with LF line ends";
    }

    flashemu::DiskStatus before = d.status();
    auto logBefore = flashemu::readLog(d.dir.path);
    ASSERT_EQ(logBefore.size(), 2u);
    ASSERT_EQ(logBefore[0].data.size(), 40u) << "InitDisk keeps its parameter block";
    ASSERT_TRUE(fileio::writeFileAtomic(conf, withCrLf(fileText(conf))));
    ASSERT_TRUE(fileio::writeFileAtomic(log, withCrLf(fileText(log))));
    ASSERT_TRUE(fileio::writeFileAtomic(drives, withCrLf(fileText(drives))));

    EXPECT_TRUE(flashemu::isDisk(d.dir.path));
    flashemu::Faults f;
    ASSERT_TRUE(flashemu::getFaults(d.dir.path, &f));
    EXPECT_EQ(f.failKind, "info") << "a text field keeps no CR";
    EXPECT_EQ(f.failNth, 3u);
    EXPECT_TRUE(f.writeProtected);
    flashemu::DiskStatus after = d.status();
    EXPECT_EQ(after.sectors, before.sectors);
    EXPECT_TRUE(after.haveTable);
    EXPECT_EQ(after.table, before.table) << "the table's last field reads whole";
    auto logAfter = flashemu::readLog(d.dir.path);
    ASSERT_EQ(logAfter.size(), logBefore.size()) << "a line whose last field kept its CR would be dropped";
    EXPECT_EQ(logAfter[0].data, logBefore[0].data) << "the last field of a log line reads whole";
    EXPECT_EQ(logAfter[1].address, logBefore[1].address);

    // The device keeps working on the edited files and writes them back with LF.
    ASSERT_EQ(d.open(), 0);
    ASSERT_TRUE(d.read(ad::kDeviceInfo, s.data()));
    EXPECT_EQ(s[cfgtbl::kDevWriteProtect], 1);
    ASSERT_TRUE(flashemu::replug(d.dir.path));
    EXPECT_EQ(d.driveLines().size(), 1u);
    EXPECT_EQ(fileText(drives).find('\r'), std::string::npos) << "the map is published anew";
    EXPECT_EQ(fileText(conf).find('\r'), std::string::npos);
}

// A disk directory named with a trailing separator, as a user may type it, is
// the same disk.
TEST(EmulatorFiles, DirectorySpellingsReachTheSameDisk) {
    TempDir dir;
    flashemu::DiskOptions o = Device::small();
    ASSERT_TRUE(flashemu::createDisk(dir.path + "/", o));
    EXPECT_TRUE(flashemu::isDisk(dir.path));
    Sector a{};
    a[0] = 0x5A;
    a[511] = 0xA5;
    testsupport::ScopedEnv env(flashemu::kDiskEnv, dir.path + "/");
    ScsiLib &lib = scsi();
    ASSERT_EQ(lib.InitDisk(nullptr), 0);
    ASSERT_NE(lib.WriteDisk(5, 1, a.data()), 0);
    lib.DiskFree();
    Sector back{};
    ASSERT_TRUE(flashemu::readPhysicalSectors(dir.path, 5, 1, back.data()));
    EXPECT_EQ(back, a);
}

// Another program reading device.conf (a plain C runtime stream, which on
// Windows does not share deletion) must not make the device lose a change.
TEST(EmulatorFiles, ChangeWaitsForAReaderHoldingTheStateFile) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    auto reader = std::make_unique<std::ifstream>(flashemu::confPath(d.dir.path), std::ios::binary);
    ASSERT_TRUE(reader->is_open());
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        reader.reset();
    });
    flashemu::Faults f;
    ASSERT_TRUE(flashemu::getFaults(d.dir.path, &f)) << "reading beside another reader";
    f.writeProtected = true;
    bool changed = flashemu::setFaults(d.dir.path, f);
    release.join();
    EXPECT_TRUE(changed);
    ASSERT_TRUE(flashemu::getFaults(d.dir.path, &f));
    EXPECT_TRUE(f.writeProtected);
}
