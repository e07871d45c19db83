// The single-command device exports: the exact command blocks and addresses
// that reach the transport, the results handed back, and the mended refusals of
// sector requests that cannot be sent. First against the recording stand-in
// transport (each case in its own process), then against the emulated flash disk
// through its command log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "FlashEmulator.h"
#include "byteorder.h"
#include "fakes/ProbeRig.h"

using probe::Rig;
using probe::values;
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kDeviceInfoAddress = 0x30000000;

std::vector<uint8_t> deviceInfo(bool fullPageFlag, uint16_t pageSectorsRaw, uint8_t loginStatus, uint8_t writeProtect) {
    std::vector<uint8_t> info(512, 0);
    info[1] = fullPageFlag ? 0x01 : 0x00;
    bo::putLE16(&info[4], 4);
    bo::putLE16(&info[10], pageSectorsRaw);
    info[292] = loginStatus;
    info[294] = writeProtect;
    return info;
}

// A VersionTable sector with 8 information sectors and the given layout kind,
// its words XOR-ing to 0.
std::vector<uint8_t> versionTable(uint8_t layoutKind) {
    std::vector<uint8_t> t(512, 0);
    bo::putLE32(&t[0], 0x5A5A5A5A);
    std::memcpy(&t[204], "2.00", 4);
    t[26] = 8;
    t[234] = layoutKind;
    uint32_t x = 0;
    for (size_t off = 0; off < 512; off += 4) x ^= bo::getLE32(&t[off]);
    bo::putLE32(&t[4], x);
    return t;
}

// The last of 8 information sectors carries the mark of the first 4096-byte half.
std::vector<uint8_t> markedInfoSector() {
    std::vector<uint8_t> s(512, 0);
    bo::putLE32(&s[4088 - 7 * 512], 0xA5A5A5A5);
    return s;
}

uint32_t infoAddress(uint32_t sectorInPage, uint32_t page) { return ((4u + (sectorInPage & 3u)) << 26) | page; }

// A stand-in disk with a VersionTable at page 0 of the information area.
void plantTable(Rig &rig, uint8_t layoutKind, uint8_t loginStatus, bool fullPageFlag = true) {
    rig.setSector(kDeviceInfoAddress, deviceInfo(fullPageFlag, 8, loginStatus, 0));
    rig.setSector(0x10000000, versionTable(layoutKind));
    // Sector 7 of the information sectors: page 1 with 8 sectors per page, page 2
    // with the page size halved to 4.
    rig.setSector(infoAddress(7, fullPageFlag ? 1 : 2), markedInfoSector());
}

} // namespace

// --- against the recording stand-in -------------------------------------------

TEST(SectorCommands, CarryAddressAndCountBigEndianWithTheByteLength) {
    Rig rig("full");
    auto run = rig.run({"LoadDiskLib", "Mark:read", "ReadFlashDisk:300:2", "Mark:write",
                        "WriteFlashDisk:0x12345678:0xFFFF", "Mark:one", "ReadFlashDisk:0xFFFFFFFF:1"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // The stand-in answers 0x10001: only the low 16 bits are the status.
    EXPECT_EQ(run.results, values({"1", "1", "1", "1"})) << run.output;
    EXPECT_EQ(rig.logSection("read"), Lines{"ReadScsi 28 00 00 00 01 2C 00 00 02 00 00 00 len=1024"});
    EXPECT_EQ(rig.logSection("write"), Lines{"WriteScsi 2A 00 12 34 56 78 00 FF FF 00 00 00 len=33553920"});
    EXPECT_EQ(rig.logSection("one"), Lines{"ReadScsi 28 00 FF FF FF FF 00 00 01 00 00 00 len=512"});
}

TEST(SectorCommands, RequestsThatDoNotFitACommandBlockSendNothing) {
    Rig rig("full");
    auto run = rig.run({"LoadDiskLib", "Mark:refused", "ReadFlashDisk:0:65536", "WriteFlashDisk:0:65536",
                        "ReadFlashDisk:0:0x800001", "WriteFlashDisk:0:0xFFFFFFFF", "ReadFlashDiskNull:0:1",
                        "WriteFlashDiskNull:0:1", "GetErrorCode"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "0", "0", "0", "0", "0", "0"})) << run.output;
    EXPECT_EQ(rig.logSection("refused"), Lines{});
}

TEST(SectorCommands, ResultIsTheLow16BitsOfTheTransportStatus) {
    Rig failing("full");
    failing.setEnv("FAKE_SCSI_SCSI", "0x30000");
    failing.setSector(kDeviceInfoAddress, deviceInfo(true, 8, 0, 1));
    auto run = failing.run({"LoadDiskLib", "ReadFlashDisk:0:1", "WriteFlashDisk:0:1", "ReverseWriteStatusIfProtect"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "0", "0"})) << run.output;

    Rig wide("full");
    wide.setEnv("FAKE_SCSI_SCSI", "0x1FFFF");
    run = wide.run({"LoadDiskLib", "ReadFlashDisk:0:1", "WriteFlashDisk:0:1"});
    EXPECT_EQ(run.results, values({"1", "65535", "65535"})) << run.output;
}

TEST(DeviceInformation, ReadFromItsVendorAddress) {
    Rig rig("full");
    rig.setSector(kDeviceInfoAddress, deviceInfo(true, 8, 0, 0));
    auto run =
        rig.run({"LoadDiskLib", "Mark:null", "GetFlashDiskInfoNull", "GetErrorCode", "Mark:read", "GetFlashDiskInfo"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "0", "1"})) << run.output;
    EXPECT_EQ(rig.logSection("null"), Lines{});
    EXPECT_EQ(rig.logSection("read"), Lines{"ReadDisk 30000000 1"});
}

TEST(DeviceInformation, AFailedReadRecordsCode9) {
    Rig rig("full");
    rig.setEnv("FAKE_SCSI_FAIL_READS", "30000000");
    auto run = rig.run({"LoadDiskLib", "GetFlashDiskInfo", "GetErrorCode"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0", "9"})) << run.output;
}

TEST(DeviceInformation, PageSizeIsHalvedWhenBit0OfByte1IsClear) {
    // With 8 at offset 10 the information sectors after the table at page 0 lie
    // four to a page (pages 1 and 2) when the flag is clear, eight to page 1 when
    // it is set; the table is found only where its marked sector really is.
    for (bool flag : {false, true}) {
        SCOPED_TRACE(flag ? "bit 0 set" : "bit 0 clear");
        Rig rig("full");
        plantTable(rig, 0, 0, flag);
        auto run = rig.run({"LoadDiskLib", "Mark:scan", "GetConfigTable"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(run.results, values({"1", "1"})) << run.output;
        Lines expected;
        for (uint32_t n = 0; n < 8; ++n) {
            uint32_t perPage = flag ? 8 : 4;
            char line[32];
            std::snprintf(line, sizeof line, "ReadDisk %08x 1", infoAddress(n % perPage, 1 + n / perPage));
            expected.push_back(line);
        }
        // Candidates lie at pages 0, 4, 8, ... and the information block at page 0
        // too, so every read of page 1 or 2 is one of the information sectors.
        Lines atPages12;
        for (const auto &l : rig.logSection("scan")) {
            uint32_t page = uint32_t(std::strtoul(l.c_str() + 9, nullptr, 16)) & 0x03FFFFFF;
            if (l.rfind("ReadDisk ", 0) == 0 && (page == 1 || page == 2)) atPages12.push_back(l);
        }
        EXPECT_EQ(atPages12, expected);
    }
}

TEST(LoginStatus, FollowsTheLayoutKindOfTheLoadedTable) {
    struct Case {
        uint8_t kind;
        uint8_t status;
        const char *expected;
    };
    const Case cases[] = {{0, 1, "-1"}, {3, 1, "-1"}, {4, 1, "-1"}, {1, 1, "1"}, {2, 0, "0"}, {5, 200, "200"}};
    for (const Case &c : cases) {
        SCOPED_TRACE("layout kind " + std::to_string(c.kind));
        Rig rig("full");
        plantTable(rig, c.kind, c.status);
        auto run = rig.run({"LoadDiskLib", "LoginState", "GetConfigTable", "Mark:state", "LoginState"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        // Before any VersionTable is loaded there is no secure area to speak of.
        EXPECT_EQ(run.results, values({"1", "-1", "1", c.expected})) << run.output;
        // The status comes from a fresh read of the device information block.
        EXPECT_EQ(rig.logSection("state"), Lines{"ReadDisk 30000000 1"});
    }
}

TEST(LoginStatus, AnUnreadableStatusIsNotLoggedIn) {
    // The first read of the information block (the table scan's) succeeds, the
    // later ones fail.
    for (uint8_t kind : {uint8_t(1), uint8_t(0)}) {
        Rig rig("full");
        plantTable(rig, kind, 1);
        rig.setEnv("FAKE_SCSI_FAIL_READS", "30000000@2");
        auto run = rig.run({"LoadDiskLib", "GetConfigTable", "LoginState", "GetErrorCode"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(run.results, values({"1", "1", kind == 1 ? "0" : "-1", "9"})) << run.output;
    }
}

TEST(WriteProtect, SwitchedOnlyWhenTheDeviceSaysItIsProtected) {
    Rig open("full");
    open.setSector(kDeviceInfoAddress, deviceInfo(true, 8, 0, 0));
    auto run = open.run({"LoadDiskLib", "Mark:switch", "ReverseWriteStatusIfProtect"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "0"})) << run.output;
    EXPECT_EQ(open.logSection("switch"), Lines{"ReadDisk 30000000 1"});

    Rig protectedDisk("full");
    protectedDisk.setSector(kDeviceInfoAddress, deviceInfo(true, 8, 0, 1));
    run = protectedDisk.run({"LoadDiskLib", "Mark:switch", "ReverseWriteStatusIfProtect"});
    EXPECT_EQ(run.results, values({"1", "1"})) << run.output;
    EXPECT_EQ(protectedDisk.logSection("switch"),
              Lines({"ReadDisk 30000000 1", "ReadScsi 28 00 50 00 00 00 00 00 03 00 00 00 len=1536"}));

    Rig unreadable("full");
    unreadable.setEnv("FAKE_SCSI_FAIL_READS", "30000000");
    run = unreadable.run({"LoadDiskLib", "Mark:switch", "ReverseWriteStatusIfProtect", "GetErrorCode"});
    EXPECT_EQ(run.results, values({"1", "0", "0"})) << run.output;
    EXPECT_EQ(unreadable.logSection("switch"), Lines{"ReadDisk 30000000 1"});
}

TEST(ResetAndRemoval, ResetWritesOneSectorToItsVendorAddress) {
    Rig rig("full");
    auto run = rig.run({"LoadDiskLib", "Mark:reset", "ResetDisk"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "1"})) << run.output;
    EXPECT_EQ(rig.logSection("reset"), Lines{"WriteDisk a0000000 1"});

    Rig refused("full");
    refused.setEnv("FAKE_SCSI_WRITE", "0");
    run = refused.run({"LoadDiskLib", "ResetDisk"});
    EXPECT_EQ(run.results, values({"1", "0"})) << run.output;
}

TEST(ResetAndRemoval, RemovalForgetsTheDeviceButKeepsTheTransport) {
    Rig rig("full");
    plantTable(rig, 0, 0);
    auto run = rig.run({"DiskRemove", "LoadDiskLib", "GetConfigTable", "HaveCfgTbl", "Mark:remove", "DiskRemove",
                        "HaveCfgTbl", "GetDiskSize", "Mark:after", "ResetDisk"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.results, values({"1", "1", "1", "1", "1", "0", "0", "1"})) << run.output;
    EXPECT_EQ(rig.logSection("remove"), Lines{"DiskFree"});
    EXPECT_EQ(rig.logSection("after"), Lines{"WriteDisk a0000000 1"});
    // Before any load nothing was called.
    auto log = rig.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "InitDisk null");
}

// --- against the emulated flash disk ------------------------------------------

namespace {

// A fresh emulated disk opened through Quendal.dll in this process, with the
// device's command log on; the transport is released at the end of the scope.
class OpenedDisk {
public:
    explicit OpenedDisk(const flashemu::DiskOptions &options = {}, const flashemu::Faults &faults = {}) {
        std::string error;
        if (!flashemu::createDisk(dir_.str(), options, &error)) throw std::runtime_error(error);
        if (!flashemu::setFaults(dir_.str(), faults)) throw std::runtime_error("setFaults");
        testsupport::setEnv(flashemu::kDiskEnv, dir_.str());
        auto &q = testsupport::lib();
        if (!q.LoadDiskLib()) throw std::runtime_error("LoadDiskLib failed");
        InitDiskParams params{};
        opened_ = q.InitFlashDisk(&params);
        flashemu::setLogging(dir_.str(), true);
        flashemu::clearLog(dir_.str());
    }
    ~OpenedDisk() {
        testsupport::lib().FreeDiskLib();
        testsupport::unsetEnv(flashemu::kDiskEnv);
    }
    std::string dir() const { return dir_.str(); }
    int32_t opened() const { return opened_; }
    std::vector<flashemu::LogEntry> takeLog() const {
        auto log = flashemu::readLog(dir_.str());
        flashemu::clearLog(dir_.str());
        return log;
    }

private:
    testsupport::TempDir dir_;
    int32_t opened_ = -1;
};

std::array<uint8_t, 12> cdb(std::initializer_list<uint8_t> bytes) {
    std::array<uint8_t, 12> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

} // namespace

TEST(EmulatedDisk, CommandsArriveAsSent) {
    OpenedDisk disk;
    ASSERT_EQ(disk.opened(), 0);
    auto &q = testsupport::lib();

    std::array<uint8_t, 512> info{};
    ASSERT_EQ(q.GetFlashDiskInfo(info.data()), 1);
    std::array<uint8_t, 512> device{};
    ASSERT_TRUE(flashemu::readDeviceInfo(disk.dir(), &device));
    EXPECT_EQ(info, device);

    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
    ASSERT_NE(q.WriteFlashDisk(300, 2, data.data()), 0);
    std::vector<uint8_t> back(1024, 0);
    ASSERT_NE(q.ReadFlashDisk(300, 2, back.data()), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(q.ResetDisk(), 1);

    auto log = disk.takeLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].op, "ReadDisk");
    EXPECT_EQ(log[0].address, 0x30000000u);
    EXPECT_EQ(log[0].count, 1u);
    EXPECT_EQ(log[1].op, "WriteScsi");
    EXPECT_EQ(log[1].cdb, cdb({0x2A, 0, 0, 0, 0x01, 0x2C, 0, 0, 0x02, 0, 0, 0}));
    EXPECT_EQ(log[1].length, 1024u);
    EXPECT_EQ(log[2].op, "ReadScsi");
    EXPECT_EQ(log[2].cdb, cdb({0x28, 0, 0, 0, 0x01, 0x2C, 0, 0, 0x02, 0, 0, 0}));
    EXPECT_EQ(log[2].length, 1024u);
    EXPECT_EQ(log[3].op, "WriteDisk");
    EXPECT_EQ(log[3].address, 0xA0000000u);
    EXPECT_EQ(log[3].count, 1u);
    EXPECT_EQ(log[3].data.size(), 512u);
}

TEST(EmulatedDisk, WriteProtectIsSwitchedOffOnlyWhenOn) {
    flashemu::Faults faults;
    faults.writeProtected = true;
    OpenedDisk disk({}, faults);
    ASSERT_EQ(disk.opened(), 0);
    auto &q = testsupport::lib();
    std::vector<uint8_t> data(512, 0x42);
    EXPECT_EQ(q.WriteFlashDisk(10, 1, data.data()), 0);
    disk.takeLog();

    EXPECT_EQ(q.ReverseWriteStatusIfProtect(), 1);
    auto log = disk.takeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].op, "ReadDisk");
    EXPECT_EQ(log[0].address, 0x30000000u);
    EXPECT_EQ(log[1].op, "ReadScsi");
    EXPECT_EQ(log[1].cdb, cdb({0x28, 0, 0x50, 0, 0, 0, 0, 0, 0x03, 0, 0, 0}));
    EXPECT_EQ(log[1].length, 1536u);

    std::array<uint8_t, 512> device{};
    ASSERT_TRUE(flashemu::readDeviceInfo(disk.dir(), &device));
    EXPECT_EQ(device[294], 0);
    EXPECT_NE(q.WriteFlashDisk(10, 1, data.data()), 0);
    disk.takeLog();

    // Now off: asking again must not switch it back on.
    EXPECT_EQ(q.ReverseWriteStatusIfProtect(), 0);
    log = disk.takeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].op, "ReadDisk");
    ASSERT_TRUE(flashemu::readDeviceInfo(disk.dir(), &device));
    EXPECT_EQ(device[294], 0);
}
