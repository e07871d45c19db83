// SCSI.dll driven through its nine exports against a fresh emulated disk: what
// a host sends, what it gets back, and what the device shows afterwards.
#include <gtest/gtest.h>

#include "ScsiTestSupport.h"

using namespace scsitest;
namespace ad = cfgtbl::addr;

namespace {

constexpr const char kSecondProcessEnv[] = "QUENDAL_TEST_SECOND_PROCESS";

Sector pattern(uint8_t seed) {
    Sector s;
    for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(seed + i * 7);
    return s;
}

std::vector<uint8_t> fileBytes(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Everything the device keeps, to show that a refused command changed nothing.
struct Snapshot {
    std::vector<uint8_t> data, info, conf;
    explicit Snapshot(const std::string &dir)
        : data(fileBytes(dir + "/data.img")), info(fileBytes(dir + "/info.img")),
          conf(fileBytes(dir + "/device.conf")) {}
    bool operator==(const Snapshot &o) const { return data == o.data && info == o.info && conf == o.conf; }
};

} // namespace

TEST(ScsiOpen, AnswersByDevicePresenceAndIdentity) {
    ScsiLib &lib = scsi();
    EXPECT_EQ(lib.GetOsVersion(), 2);

    testsupport::unsetEnv(flashemu::kDiskEnv);
    EXPECT_EQ(lib.InitDisk(nullptr), -1) << "no emulator selected and no pass-through";

    TempDir empty;
    testsupport::setEnv(flashemu::kDiskEnv, empty.path);
    EXPECT_EQ(lib.InitDisk(nullptr), -1) << "a directory without a disk is no device";
    EXPECT_TRUE(std::filesystem::is_empty(empty.path)) << "and is left untouched";

    Device d;
    uint8_t params[40] = {};
    EXPECT_EQ(d.open(params), 0) << "all-empty texts choose any disk";
    std::strcpy(reinterpret_cast<char *>(params), "MORVAN");
    std::strcpy(reinterpret_cast<char *>(params + 12), "FLASH DISK  ");
    std::strcpy(reinterpret_cast<char *>(params + 32), "2.00");
    EXPECT_EQ(d.open(params), 0) << "trailing blanks do not count";
    std::strcpy(reinterpret_cast<char *>(params + 32), "2.01");
    EXPECT_EQ(d.open(params), -1);
    Sector s{};
    EXPECT_EQ(d.lib.ReadDisk(ad::kDeviceInfo, 1, s.data()), 0) << "nothing is open after a refused InitDisk";
    std::memset(params, 0, sizeof params);
    std::strcpy(reinterpret_cast<char *>(params), "morvan");
    EXPECT_EQ(d.open(params), -1) << "the identity is compared exactly";
    std::memset(params, 0, sizeof params);
    std::strcpy(reinterpret_cast<char *>(params + 12), "FLASH");
    EXPECT_EQ(d.open(params), -1) << "a prefix is not the product";

    d.setFaults([](flashemu::Faults &f) { f.absent = true; });
    EXPECT_EQ(d.open(), -1);
    d.setFaults([](flashemu::Faults &f) {
        f.absent = false;
        f.refuseRawAccess = true;
    });
    EXPECT_EQ(d.open(), 2);
    EXPECT_EQ(d.lib.ReadDisk(ad::kDeviceInfo, 1, s.data()), 0) << "raw access stays refused";
    EXPECT_EQ(d.lib.ReadDisk(0, 1, s.data()), 0);
}

TEST(ScsiData, SectorsRoundTripAndPersistAcrossReplugAndProcesses) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    Sector a = pattern(1), b = pattern(2);
    EXPECT_TRUE(d.write(0, a.data()));
    EXPECT_TRUE(d.write(39999, b.data()));
    EXPECT_EQ(d.readSector(0), a);
    EXPECT_EQ(d.readSector(39999), b);
    Sector fresh{};
    EXPECT_EQ(d.readSector(1000), fresh) << "an unwritten sector of the sparse image reads zeros";

    // CDB transfers of up to 64 KiB reach the same sectors.
    std::vector<uint8_t> big(65536);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 13 + 5);
    auto w = cdb(0x2A, 100, 128);
    EXPECT_EQ(d.lib.WriteScsi(w.data(), big.data(), 65536) & 0xFFFF, 1);
    std::vector<uint8_t> back(65536);
    auto r = cdb(0x28, 100, 128);
    EXPECT_EQ(d.lib.ReadScsi(r.data(), back.data(), 65536) & 0xFFFF, 1);
    EXPECT_EQ(back, big);
    EXPECT_TRUE(std::equal(big.begin() + 512 * 3, big.begin() + 512 * 4, d.readSector(103).begin()));

    // ReadDisk with a count reads consecutive sectors.
    std::vector<uint8_t> two(1024);
    EXPECT_NE(d.lib.ReadDisk(100, 2, two.data()), 0);
    EXPECT_TRUE(std::equal(two.begin(), two.end(), big.begin()));

    EXPECT_EQ(d.lib.DiskFree(), 1);
    EXPECT_EQ(d.lib.ReadDisk(0, 1, fresh.data()), 0) << "closed";
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(d.readSector(0), a);
    EXPECT_EQ(d.readSector(39999), b);
    uint8_t raw[512];
    ASSERT_TRUE(flashemu::readPhysicalSectors(d.dir.path, 39999, 1, raw));
    EXPECT_EQ(0, std::memcmp(raw, b.data(), 512));

    // Another process opening the same directory finds it held by this one, as
    // a real disk held open is; once let go, it sees the same device.
    auto second = [&](const char *expect) {
        testsupport::ProcessOptions o;
        o.env = {{flashemu::kDiskEnv, d.dir.path}, {kSecondProcessEnv, expect}};
        auto run =
            testsupport::runProcess(testsupport::programDirectory() + "/transport_scsi_test" + testsupport::kExeSuffix,
                                    {"--gtest_filter=ScsiSecondProcess.*"}, o);
        ASSERT_TRUE(run.started) << run.output;
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
    };
    second("busy");
    EXPECT_EQ(d.lib.DiskFree(), 1);
    second("free");
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(d.readSector(7), b);
}

// The other half of the case above, in a process of its own: started by it, it
// finds the disk busy while the first holds it, or else finds the sectors the
// first process wrote and writes one of its own.
TEST(ScsiSecondProcess, SeesTheSameDevice) {
    const std::string expect = testsupport::getEnv(kSecondProcessEnv);
    if (expect.empty()) GTEST_SKIP() << "runs only as the second process of ScsiData";
    ScsiLib &lib = scsi();
    if (expect == "busy") {
        EXPECT_EQ(lib.InitDisk(nullptr), SCSI_INIT_BUSY);
        return;
    }
    Sector got{};
    ASSERT_EQ(lib.InitDisk(nullptr), 0);
    ASSERT_NE(lib.ReadDisk(0, 1, got.data()), 0);
    EXPECT_EQ(got, pattern(1));
    EXPECT_NE(lib.WriteDisk(7, 1, pattern(2).data()), 0);
    EXPECT_EQ(lib.DiskFree(), 1);
}

TEST(ScsiVendor, WriteProtectSwitchTogglesAndGuardsData) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    auto wp = cdb(0x28, ad::kWriteProtect, 3);
    std::vector<uint8_t> scratch(1536, 0xEE);
    Sector a = pattern(9);

    ASSERT_EQ(d.lib.ReadScsi(wp.data(), scratch.data(), 1536) & 0xFFFF, 1);
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevWriteProtect], 1);
    EXPECT_FALSE(d.write(5, a.data())) << "a protected disk refuses data writes";
    auto w = cdb(0x2A, 5, 1);
    EXPECT_EQ(d.lib.WriteScsi(w.data(), a.data(), 512), 0);
    EXPECT_NE(d.readSector(5), a);
    ASSERT_EQ(d.driveLines().size(), 1u);
    EXPECT_NE(d.driveLines()[0].find(" ro"), std::string::npos);

    // The state survives a replug; switching again lifts it.
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevWriteProtect], 1);
    ASSERT_EQ(d.lib.ReadScsi(wp.data(), scratch.data(), 1536) & 0xFFFF, 1);
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevWriteProtect], 0);
    EXPECT_TRUE(d.write(5, a.data()));
    EXPECT_NE(d.driveLines()[0].find(" rw"), std::string::npos);

    // Protection set as a fault at creation time behaves the same.
    d.setFaults([](flashemu::Faults &f) { f.writeProtected = true; });
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevWriteProtect], 1);
    EXPECT_FALSE(d.write(6, a.data()));
}

TEST(ScsiVendor, DeviceInformationAndCommit) {
    flashemu::DiskOptions o = Device::small();
    o.pageSectorsRaw = 16;
    o.pageFlagBit0 = true;
    o.blockUnit = 8;
    Device d(o);
    ASSERT_EQ(d.open(), 0);
    Sector info = d.readSector(ad::kDeviceInfo);
    EXPECT_EQ(info[cfgtbl::kDevFlags] & 1, 1);
    EXPECT_EQ(bo::getLE16(info.data() + cfgtbl::kDevBlockUnit), 8);
    EXPECT_EQ(bo::getLE16(info.data() + cfgtbl::kDevPageSectors), 16);
    EXPECT_EQ(d.readSector(ad::kDeviceInfo), info) << "stable between reads";

    std::vector<uint8_t> buf(4096);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i ^ 0x5A);
    auto c = cdb(0x2A, ad::kCommit, 8);
    EXPECT_EQ(d.lib.WriteScsi(c.data(), buf.data(), 4096) & 0xFFFF, 1);
    auto st = d.status();
    EXPECT_EQ(st.commits, 1u);
    EXPECT_EQ(st.lastCommit, buf);
    EXPECT_EQ(d.lib.WriteScsi(c.data(), buf.data(), 4095), 0) << "length must match the blocks";
    EXPECT_EQ(d.status().commits, 1u);
}

// Sixteen information sectors of four a page after the table page take five
// pages: the one block a host names is not enough, and the controller erases
// the second block the information block runs into (8..15), nothing beyond.
TEST(ScsiInfoArea, PrepareOfOneBlockErasesTheWholeInformationBlock) {
    flashemu::DiskOptions o = Device::small();
    o.infoSectors = 16;
    Device d(o);
    ASSERT_EQ(d.open(), 0);
    ASSERT_TRUE(flashemu::writeInfoSector(d.dir.path, 16, 0, pattern(3).data()));
    ASSERT_TRUE(d.prepare(8, 1));
    Sector erased;
    erased.fill(0xFF);
    for (uint32_t page = 8; page < 16; ++page) EXPECT_EQ(d.readSector(ad::infoPage(false, 0, page)), erased) << page;
    EXPECT_EQ(d.readSector(ad::infoPage(false, 0, 16)), pattern(3));
}

TEST(ScsiInfoArea, PrepareEraseAndStrictProgramming) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    // The factory table sits at page 8; rewriting it without a prepare fails.
    Sector t = d.table();
    ASSERT_EQ(std::memcmp(t.data() + 204, "2.00", 4), 0);
    uint32_t tableAddr = (8 + 0x20000000u) | ad::kInfoTableFlag;
    Snapshot before(d.dir.path);
    EXPECT_FALSE(d.write(tableAddr, t.data()));
    EXPECT_FALSE(d.write(ad::infoPage(true, 1, 9), t.data()));
    EXPECT_TRUE(before == Snapshot(d.dir.path));

    // A prepare erases the block unit (4 pages) starting at the page: 8..11, not 12.
    uint8_t keep[512];
    ASSERT_TRUE(flashemu::writeInfoSector(d.dir.path, 12, 0, pattern(3).data()));
    ASSERT_TRUE(d.prepare(8));
    Sector erased;
    erased.fill(0xFF);
    for (uint32_t page = 8; page < 12; ++page)
        for (uint32_t slot = 0; slot < 4; ++slot)
            EXPECT_EQ(d.readSector(ad::infoPage(false, slot, page)), erased) << page << "/" << slot;
    ASSERT_TRUE(flashemu::readInfoSector(d.dir.path, 12, 0, keep));
    EXPECT_EQ(0, std::memcmp(keep, pattern(3).data(), 512));

    // Erased sectors program once; the second program of the same sector fails.
    EXPECT_TRUE(d.write(tableAddr, t.data()));
    EXPECT_EQ(d.readSector(ad::kReadPageBase + 8), t);
    EXPECT_FALSE(d.write(tableAddr, pattern(4).data()));
    EXPECT_EQ(d.readSector(ad::kReadPageBase + 8), t);
    Sector s5 = pattern(5);
    EXPECT_TRUE(d.write(ad::infoPage(true, 2, 10), s5.data()));
    EXPECT_EQ(d.readSector(ad::infoPage(false, 2, 10)), s5);
    EXPECT_EQ(d.readSector(ad::infoPage(false, 6, 10)), s5) << "only the sector-in-page AND 3 is addressed";

    // Without strict mode the rewrite goes through, as a forgiving controller would.
    d.setFaults([](flashemu::Faults &f) { f.strictPrepare = false; });
    EXPECT_TRUE(d.write(tableAddr, pattern(6).data()));
    EXPECT_EQ(d.readSector(ad::kReadPageBase + 8), pattern(6));

    // Records the controller cannot carry out are refused.
    Sector rec{};
    rec[1] = 1;
    bo::putLE32(rec.data() + 4, 8);
    bo::putLE32(rec.data() + 8, 0);
    EXPECT_FALSE(d.write(ad::kBlockPrepare, rec.data())) << "zero blocks";
    bo::putLE32(rec.data() + 8, 1);
    rec[1] = 0;
    EXPECT_FALSE(d.write(ad::kBlockPrepare, rec.data())) << "not a prepare record";
    rec[1] = 1;
    bo::putLE32(rec.data() + 4, 0x7FFFFFFF);
    EXPECT_FALSE(d.write(ad::kBlockPrepare, rec.data())) << "past the information area";
}

TEST(ScsiTables, StoreWholeDiskResetAndWhatTheHostSees) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    // The image is named relative to the map's folder, so the directory works
    // wherever it is and from either build.
    EXPECT_NE(d.drives().find("E:\tdata.img\t0\t20480000\trw\n"), std::string::npos) << d.drives();

    // A three-area public layout: E: area 0, F: area 2.
    Sector t = withLayout(d.table(), 4, 10000, 0, 30000, 0, 10000);
    ASSERT_TRUE(d.write(ad::kStoreTable, t.data()));
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 5120000 rw", "F: 5120000 15360000 rw"}));
    Sector a = pattern(7);
    EXPECT_TRUE(d.write(9999, a.data()));
    EXPECT_FALSE(d.write(10000, a.data())) << "plain sectors end with the first volume";
    EXPECT_EQ(d.readSector(9999), a);

    // Whole-disk table: one volume over everything until the reset.
    ASSERT_TRUE(d.write(ad::kWholeDiskTable, t.data()));
    EXPECT_TRUE(d.status().wholeDisk);
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 20480000 rw"}));
    EXPECT_TRUE(d.write(39999, a.data()));

    // The stored table was never written to the information area: a reset finds
    // the factory table again.
    ASSERT_TRUE(d.reset());
    EXPECT_FALSE(d.status().wholeDisk);
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 20480000 rw"}));

    // Written into the information block, the layout survives a reset and a replug.
    std::vector<uint8_t> info(8 * 512);
    ASSERT_TRUE(d.writeInfoBlock(8, t, info));
    ASSERT_TRUE(d.reset());
    EXPECT_EQ(d.driveLines().size(), 2u);
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 5120000 rw", "F: 5120000 15360000 rw"}));

    // Dismounted: no volume and no plain sectors, until the next reset.
    EXPECT_NE(d.lib.DisMountDisk(), 0);
    EXPECT_TRUE(d.driveLines().empty());
    EXPECT_FALSE(d.write(0, a.data()));
    Sector got{};
    EXPECT_FALSE(d.read(0, got.data()));
    ASSERT_TRUE(d.reset());
    EXPECT_EQ(d.driveLines().size(), 2u);

    // A table that is no table is refused and changes nothing.
    Sector junk = pattern(1);
    EXPECT_FALSE(d.write(ad::kStoreTable, junk.data()));
    EXPECT_FALSE(d.write(ad::kWholeDiskTable, junk.data()));
    EXPECT_EQ(d.driveLines().size(), 2u);
}

TEST(ScsiTables, PartitionedAreaIsMountedAtItsPartitionAndCdromIsReadOnly) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    Sector mbr{};
    mbr[0x1BE] = 0x80;
    mbr[0x1C2] = 0x06;
    bo::putLE32(mbr.data() + 0x1C6, 63);
    bo::putLE32(mbr.data() + 0x1CA, 40000 - 63);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    ASSERT_TRUE(d.write(0, mbr.data()));
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 32256 20447744 rw"}));
    mbr[0x1BE] = 0x00; // not active: the area is the volume
    ASSERT_TRUE(d.write(0, mbr.data()));
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 20480000 rw"}));

    Sector t = withLayout(d.table(), 4, 8000, 0, 32000, 0, 8000);
    t[cfgtbl::kFlags232] |= cfgtbl::kFlagCdrom;
    sealTable(t.data());
    ASSERT_TRUE(d.write(ad::kStoreTable, t.data()));
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 4096000 ro,cdrom", "F: 4096000 16384000 rw"}));
    Sector a = pattern(2);
    EXPECT_FALSE(d.write(1, a.data())) << "a CD-ROM takes no writes";
    EXPECT_TRUE(d.read(1, a.data()));
}

TEST(ScsiLogin, DigestOfTheActiveTableOpensTheSecureArea) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    auto digest = digestOf("secret");
    Sector t = withLayout(d.table(), 2, 2500, 30000, 7500, 2500, 32500, digest);
    std::vector<uint8_t> info(8 * 512);
    ASSERT_TRUE(d.writeInfoBlock(8, t, info));
    ASSERT_TRUE(d.writeInfoBlock(40, t, info));
    ASSERT_TRUE(d.reset());

    Sector pub = pattern(1), sec = pattern(2);
    ASSERT_TRUE(d.write(0, pub.data()));
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 0 1280000 rw", "F: 16640000 3840000 rw"}));

    Snapshot before(d.dir.path);
    EXPECT_FALSE(d.login(digestOf("Secret")));
    EXPECT_FALSE(d.login({}));
    EXPECT_TRUE(before == Snapshot(d.dir.path)) << "a wrong digest changes nothing";
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevLoginStatus], 0);

    ASSERT_TRUE(d.login(digest));
    EXPECT_TRUE(flashemu::loggedIn(d.dir.path));
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevLoginStatus], 1);
    EXPECT_EQ(d.driveLines(), (std::vector<std::string>{"E: 1280000 15360000 rw", "F: 16640000 3840000 rw"}));
    ASSERT_TRUE(d.write(0, sec.data()));
    EXPECT_TRUE(d.write(29999, sec.data()));
    EXPECT_FALSE(d.write(30000, sec.data()));
    uint8_t raw[512];
    ASSERT_TRUE(flashemu::readPhysicalSectors(d.dir.path, 2500, 1, raw));
    EXPECT_EQ(0, std::memcmp(raw, sec.data(), 512)) << "sector 0 of the secure area is disk sector 2500";

    // A reset logs out; so does a replug, but not another host opening the device.
    ASSERT_TRUE(d.reset());
    EXPECT_FALSE(flashemu::loggedIn(d.dir.path));
    EXPECT_EQ(d.readSector(0), pub);
    ASSERT_TRUE(d.login(digest));
    ASSERT_EQ(d.open(), 0);
    EXPECT_TRUE(flashemu::loggedIn(d.dir.path));
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevLoginStatus], 1);
    ASSERT_TRUE(flashemu::replug(d.dir.path));
    ASSERT_EQ(d.open(), 0);
    EXPECT_FALSE(flashemu::loggedIn(d.dir.path));
    EXPECT_EQ(d.driveLines()[0], "E: 0 1280000 rw");
}

TEST(ScsiLogin, NoLoginWithoutASecureLayout) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    auto digest = digestOf("pw");
    // Kinds 0, 3 and 4 have no secure area even when a digest is stored.
    for (uint8_t kind : {0, 3, 4}) {
        Sector t = withLayout(d.table(), kind, 20000, 10000, 10000, 20000, 30000, digest);
        ASSERT_TRUE(d.write(ad::kStoreTable, t.data()));
        EXPECT_FALSE(d.login(digest)) << int(kind);
    }
    // A secure layout stored without a password holds a zero digest, which no record opens.
    Sector none = withLayout(d.table(), 2, 20000, 20000, 0, 20000, 0);
    ASSERT_TRUE(d.write(ad::kStoreTable, none.data()));
    EXPECT_FALSE(d.login({}));
    EXPECT_FALSE(flashemu::loggedIn(d.dir.path));
    for (uint8_t kind : {1, 5}) {
        Sector t = withLayout(d.table(), kind, 20000, 10000, 10000, 20000, 30000, digest);
        ASSERT_TRUE(d.write(ad::kStoreTable, t.data()));
        EXPECT_TRUE(d.login(digest)) << int(kind);
        ASSERT_TRUE(d.reset());
    }
}

TEST(ScsiFaults, NthWriteOfEachKindFailsOnceAndChangesNothing) {
    struct Case {
        const char *kind;
        std::function<bool(Device &)> send;
    };
    auto digest = digestOf("x");
    std::vector<Case> cases = {
        {"data", [](Device &d) { return d.write(3, pattern(1).data()); }},
        {"prepare", [](Device &d) { return d.prepare(100); }},
        // Each try programs a fresh page, so strict programming never gets in the way.
        {"info",
         [page = 200u](Device &d) mutable { return d.write(ad::infoPage(true, 1, ++page), pattern(2).data()); }},
        {"info-table",
         [page = 300u](Device &d) mutable {
             return d.write((++page + 0x20000000u) | ad::kInfoTableFlag, pattern(3).data());
         }},
        {"store-table", [](Device &d) { return d.write(ad::kStoreTable, d.table().data()); }},
        {"whole-disk", [](Device &d) { return d.write(ad::kWholeDiskTable, d.table().data()); }},
        {"reset", [](Device &d) { return d.reset(); }},
        {"commit",
         [](Device &d) {
             std::vector<uint8_t> b(4096, 1);
             auto c = cdb(0x2A, ad::kCommit, 8);
             return d.lib.WriteScsi(c.data(), b.data(), 4096) != 0;
         }},
        {"login", [digest](Device &d) { return d.login(digest); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        Device d;
        ASSERT_EQ(d.open(), 0);
        if (std::string(c.kind) == "login") {
            Sector t = withLayout(d.table(), 2, 2500, 37500, 0, 2500, 0, digest);
            ASSERT_TRUE(d.write(ad::kStoreTable, t.data()));
        }
        d.setFaults([&](flashemu::Faults &f) {
            f.failKind = c.kind;
            f.failNth = 2;
        });
        EXPECT_TRUE(c.send(d)) << "first write of the kind";
        Snapshot before(d.dir.path);
        EXPECT_FALSE(c.send(d)) << "second write of the kind fails";
        Snapshot after(d.dir.path);
        EXPECT_EQ(before.data, after.data);
        EXPECT_EQ(before.info, after.info);
        EXPECT_TRUE(c.send(d)) << "only the n-th one";
        // The plan and its count live with the disk, not with the process.
        flashemu::Faults f;
        ASSERT_TRUE(flashemu::getFaults(d.dir.path, &f));
        EXPECT_EQ(f.failKind, c.kind);
        EXPECT_EQ(f.failNth, 2u);
    }

    // "any" counts every write whatever its kind.
    Device d;
    ASSERT_EQ(d.open(), 0);
    d.setFaults([](flashemu::Faults &f) {
        f.failKind = "any";
        f.failNth = 3;
    });
    EXPECT_TRUE(d.write(1, pattern(1).data()));
    EXPECT_TRUE(d.prepare(100));
    EXPECT_FALSE(d.write(2, pattern(1).data()));
    EXPECT_TRUE(d.write(2, pattern(1).data()));
}

TEST(ScsiFaults, NthReadOfEachKindFails) {
    struct Case {
        const char *kind;
        uint32_t address;
    };
    for (Case c : {Case{"device-info", ad::kDeviceInfo}, Case{"table", ad::kReadPageBase + 8},
                   Case{"info", ad::infoPage(false, 1, 9)}, Case{"data", 12}, Case{"any", 12}}) {
        SCOPED_TRACE(c.kind);
        Device d;
        ASSERT_EQ(d.open(), 0);
        d.setFaults([&](flashemu::Faults &f) {
            f.failReadKind = c.kind;
            f.failReadNth = 2;
        });
        Sector s;
        s.fill(0x33);
        EXPECT_TRUE(d.read(c.address, s.data()));
        Sector untouched;
        untouched.fill(0x44);
        Sector t = untouched;
        EXPECT_FALSE(d.read(c.address, t.data()));
        EXPECT_EQ(t, untouched) << "a failed read leaves the buffer alone";
        EXPECT_TRUE(d.read(c.address, t.data()));
        EXPECT_EQ(t, s);
    }
}

TEST(ScsiInput, MalformedCommandsFailAndChangeNothing) {
    Device d;
    ASSERT_EQ(d.open(), 0);
    ScsiLib &lib = d.lib;
    Sector a = pattern(4);
    std::vector<uint8_t> buf(2048, 0x11);
    Snapshot before(d.dir.path);

    EXPECT_EQ(lib.WriteDisk(40000, 1, a.data()), 0) << "past the end";
    EXPECT_EQ(lib.WriteDisk(39999, 2, buf.data()), 0) << "runs past the end";
    EXPECT_EQ(lib.ReadDisk(40000, 1, buf.data()), 0);
    EXPECT_EQ(lib.WriteDisk(0, 0, a.data()), 0) << "no sectors";
    EXPECT_EQ(lib.WriteDisk(0, 0xFFFFFFFFu, a.data()), 0) << "count that does not fit";
    EXPECT_EQ(lib.ReadDisk(0xFFFFFFF0u, 0x20, buf.data()), 0);
    EXPECT_EQ(lib.WriteDisk(0, 1, nullptr), 0);
    EXPECT_EQ(lib.ReadDisk(0, 1, nullptr), 0);
    for (uint32_t unknown :
         {0x12345678u, 0x31000000u, 0x41000000u, 0x6FFFFFFFu, 0x90000000u, 0xFFFFFFFFu, 0x10000000u + 0x03FFFFFFu})
        EXPECT_EQ(lib.WriteDisk(unknown, 1, a.data()), 0) << std::hex << unknown;
    EXPECT_EQ(lib.ReadDisk(0x3FFFFFFFu, 1, buf.data()), 0);
    EXPECT_EQ(lib.ReadDisk(ad::kLogin, 1, buf.data()), 0) << "write-only command read";
    EXPECT_EQ(lib.WriteDisk(ad::kDeviceInfo, 1, a.data()), 0) << "read-only command written";
    EXPECT_EQ(lib.WriteDisk(ad::kReset, 2, buf.data()), 0) << "vendor commands are one sector";

    auto good = cdb(0x2A, 0, 2);
    EXPECT_EQ(lib.WriteScsi(nullptr, buf.data(), 1024), 0);
    EXPECT_EQ(lib.WriteScsi(good.data(), nullptr, 1024), 0);
    EXPECT_EQ(lib.WriteScsi(good.data(), buf.data(), 512), 0) << "length not blocks x 512";
    EXPECT_EQ(lib.WriteScsi(good.data(), buf.data(), 2048), 0);
    auto zero = cdb(0x2A, 0, 0);
    EXPECT_EQ(lib.WriteScsi(zero.data(), buf.data(), 0), 0);
    auto wrongOp = cdb(0x28, 0, 2);
    EXPECT_EQ(lib.WriteScsi(wrongOp.data(), buf.data(), 1024), 0) << "READ(10) given to WriteScsi";
    auto other = cdb(0x2F, 0, 2);
    EXPECT_EQ(lib.WriteScsi(other.data(), buf.data(), 1024), 0);
    EXPECT_EQ(lib.ReadScsi(other.data(), buf.data(), 1024), 0);
    std::vector<uint8_t> huge(65536 + 512);
    auto tooLong = cdb(0x2A, 0, 129);
    EXPECT_EQ(lib.WriteScsi(tooLong.data(), huge.data(), uint32_t(huge.size())), 0);
    auto pastEnd = cdb(0x2A, 39999, 2);
    EXPECT_EQ(lib.WriteScsi(pastEnd.data(), buf.data(), 1024), 0);
    auto wpWrong = cdb(0x28, ad::kWriteProtect, 2);
    EXPECT_EQ(lib.ReadScsi(wpWrong.data(), buf.data(), 1024), 0) << "the switch is three blocks";
    auto commitWrong = cdb(0x2A, ad::kCommit, 2);
    EXPECT_EQ(lib.WriteScsi(commitWrong.data(), buf.data(), 1024), 0);

    EXPECT_TRUE(before == Snapshot(d.dir.path));
    EXPECT_EQ(d.readSector(ad::kDeviceInfo)[cfgtbl::kDevWriteProtect], 0);
}

TEST(ScsiLog, EveryCommandIsRecordedWithItsBytes) {
    Device d;
    ASSERT_TRUE(flashemu::setLogging(d.dir.path, true));
    uint8_t params[40] = {};
    std::strcpy(reinterpret_cast<char *>(params + 12), "FLASH DISK");
    ASSERT_EQ(d.open(params), 0);
    Sector a = pattern(8);
    ASSERT_TRUE(d.write(2, a.data()));
    auto digest = digestOf("a");
    EXPECT_FALSE(d.login(digest));
    auto r = cdb(0x28, 2, 1);
    Sector got{};
    ASSERT_EQ(d.lib.ReadScsi(r.data(), got.data(), 512), 1);
    d.lib.GetDiskVolume(7);
    d.lib.DisMountDisk();

    auto log = flashemu::readLog(d.dir.path);
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].op, "InitDisk");
    EXPECT_EQ(log[0].result, 0);
    EXPECT_EQ(log[0].data, std::vector<uint8_t>(params, params + 40));
    EXPECT_EQ(log[1].op, "WriteDisk");
    EXPECT_EQ(log[1].address, 2u);
    EXPECT_EQ(log[1].length, 512u);
    EXPECT_TRUE(log[1].data.empty()) << "data of plain sectors is not kept";
    EXPECT_EQ(log[2].address, ad::kLogin);
    EXPECT_EQ(log[2].result, 0);
    ASSERT_EQ(log[2].data.size(), 512u);
    EXPECT_EQ(0, std::memcmp(log[2].data.data() + 16, digest.data(), 16));
    EXPECT_EQ(log[3].op, "ReadScsi");
    EXPECT_TRUE(log[3].hasCdb);
    EXPECT_TRUE(std::equal(r.begin(), r.end(), log[3].cdb.begin()));
    EXPECT_EQ(log[3].count, 1u);
    EXPECT_EQ(log[4].op, "GetDiskVolume");
    EXPECT_EQ(log[4].address, 7u);
    EXPECT_EQ(log[5].op, "DisMountDisk");

    flashemu::clearLog(d.dir.path);
    EXPECT_TRUE(flashemu::readLog(d.dir.path).empty());
    ASSERT_TRUE(flashemu::setLogging(d.dir.path, false));
    d.write(3, a.data());
    EXPECT_TRUE(flashemu::readLog(d.dir.path).empty());
}
