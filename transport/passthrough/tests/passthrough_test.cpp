// The pass-through against a fake machine: how a disk is chosen, the exact
// command blocks and directions sent, how failures and sense data end a command,
// and the unmount of the disk's volumes. The last group puts an emulated flash
// disk behind the fake SG_IO device, so the vendor commands go the whole way.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "EmulatorBackend.h"
#include "FakeSystem.h"
#include "FlashEmulator.h"
#include "PassthroughBackend.h"
#include "ScsiTransport.h"
#include "table_layout.h"

using namespace passthrough;
using fakesys::FakeSystem;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(uint8_t(b));
    return v;
}

std::array<uint8_t, 40> params(const std::string &vendor, const std::string &product, const std::string &rev) {
    std::array<uint8_t, 40> p{};
    std::memcpy(p.data(), vendor.data(), std::min<size_t>(vendor.size(), 12));
    std::memcpy(p.data() + 12, product.data(), std::min<size_t>(product.size(), 20));
    std::memcpy(p.data() + 32, rev.data(), std::min<size_t>(rev.size(), 8));
    return p;
}

struct Rig {
    FakeSystem os;
    std::vector<std::string> logLines;
    std::unique_ptr<PassthroughBackend> backend;

    Rig() = default;
    PassthroughBackend &make(std::vector<KnownController> known = {{"MORVAN", "FLASH DISK", ""}}) {
        Options o;
        o.sysRoot = "/sys";
        o.procMountInfo = "/proc/self/mountinfo";
        o.known = std::move(known);
        o.log = [this](const std::string &l) { logLines.push_back(l); };
        backend = std::make_unique<PassthroughBackend>(os, o);
        return *backend;
    }
};

} // namespace

// --- choosing the device -------------------------------------------------------

TEST(PassthroughFind, ParameterTextsAreCutAtTheirNulOrField) {
    auto p = params("MORVAN", "FLASH DISK", "2.00");
    Wanted w = parseParams(p.data());
    EXPECT_EQ(w.vendor, "MORVAN");
    EXPECT_EQ(w.product, "FLASH DISK");
    EXPECT_EQ(w.revision, "2.00");
    // A product text that fills its 20 bytes has no NUL: it ends with its field.
    std::array<uint8_t, 40> full{};
    std::memset(full.data() + 12, 'P', 20);
    EXPECT_EQ(parseParams(full.data()).product, std::string(20, 'P'));
    EXPECT_TRUE(parseParams(nullptr).empty());
}

TEST(PassthroughFind, IdentificationMatchesExactlyButForTrailingBlanks) {
    Identity id{"MORVAN", "FLASH DISK", "2.00"};
    EXPECT_TRUE(matchesWanted(id, {"MORVAN", "", ""}));
    EXPECT_TRUE(matchesWanted(id, {"", "FLASH DISK", "2.00"}));
    EXPECT_FALSE(matchesWanted(id, {"", "FLASH", ""}));
    EXPECT_FALSE(matchesWanted(id, {"morvan", "", ""}));
    EXPECT_FALSE(matchesWanted(id, {"", "", "2.01"}));
    uint8_t inquiry[36] = {};
    std::memcpy(inquiry + 8, "MORVAN  FLASH DISK      2.00", 28);
    Identity fromWire = identityFromInquiry(inquiry, sizeof inquiry);
    EXPECT_EQ(fromWire.vendor, "MORVAN");
    EXPECT_EQ(fromWire.product, "FLASH DISK");
    EXPECT_EQ(fromWire.revision, "2.00");
}

TEST(PassthroughFind, KnownListSkipsCommentsAndLinesThatNameNothing) {
    auto known = parseKnownControllers("# comment\n\nACME\tSTICK\t1.0\r\nMORVAN\tFLASH DISK\n\t\t9.9\n");
    ASSERT_EQ(known.size(), 2u);
    EXPECT_EQ(known[0].revision, "1.0");
    EXPECT_TRUE(isKnown({"MORVAN", "FLASH DISK", "7.77"}, known));
    EXPECT_FALSE(isKnown({"OTHER", "FLASH DISK", "9.9"}, known));
}

TEST(PassthroughFind, DisksComeInAddressOrderAndOnlyDisks) {
    FakeSystem os;
    os.addDisk("10:0:0:0", "LATE", "DISK", "1", "sdc", "sg3", true, true);
    os.addDisk("2:0:0:0", "EARLY", "DISK", "1", "sda", "", false, false);
    os.addDisk("6:0:0:0", "MIDDLE", "DISK", "1", "sdb", "sg1", true, true);
    os.dirs["/sys/bus/scsi/devices"].push_back("host6");
    os.dirs["/sys/bus/scsi/devices"].push_back("7:0:0:0");
    os.files["/sys/bus/scsi/devices/7:0:0:0/type"] = "5\n"; // a CD-ROM drive
    auto disks = enumerateDisks(os, "/sys");
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].identity.vendor, "EARLY");
    EXPECT_EQ(disks[0].node(), "/dev/sda");
    EXPECT_EQ(disks[1].node(), "/dev/sg1");
    EXPECT_EQ(disks[2].hctl, "10:0:0:0");
    EXPECT_TRUE(disks[1].removable && disks[1].usb);
    EXPECT_FALSE(disks[0].removable || disks[0].usb);
}

TEST(PassthroughFind, EmptyBlockTakesOnlyARemovableUsbDiskOfAKnownController) {
    Rig r;
    // A fixed disk and an unknown stick come first; neither may be chosen.
    r.os.addDisk("0:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sda", "sg0", false, false);
    r.os.addDisk("1:0:0:0", "ACME", "STICK", "1.00", "sdb", "sg1", true, true);
    auto &want = r.os.addDisk("2:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdc", "sg2", true, true);
    auto &b = r.make();
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.device().node(), "/dev/sg2");
    EXPECT_TRUE(r.os.isOpen(want));
    EXPECT_EQ(r.os.openCount, 1);
}

TEST(PassthroughFind, NothingKnownMeansNoDevice) {
    Rig r;
    r.os.addDisk("1:0:0:0", "ACME", "STICK", "1.00", "sdb", "sg1", true, true);
    auto &b = r.make({});
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_EQ(r.os.openCount, 0);
    EXPECT_EQ(b.readDisk(0, 1, std::vector<uint8_t>(512).data()), 0);
}

TEST(PassthroughFind, NamedTextsChooseAnyMatchingDiskAndTheDiskNodeWithoutGenericNode) {
    Rig r;
    r.os.addDisk("1:0:0:0", "ACME", "STICK", "1.00", "sdb", "", false, false);
    auto &b = r.make();
    auto p = params("ACME", "", "");
    EXPECT_EQ(b.open(p.data()), SCSI_INIT_OK);
    EXPECT_EQ(b.device().node(), "/dev/sdb");
    auto other = params("", "STICK", "2.00");
    EXPECT_EQ(b.open(other.data()), SCSI_INIT_NO_DEVICE);
}

TEST(PassthroughFind, RefusedRawAccessAnswersTwoUnlessAnotherMatchOpens) {
    Rig r;
    auto &first = r.os.addDisk("1:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdb", "sg1", true, true);
    first.openErrno = EACCES;
    auto &b = r.make();
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_RAW_REFUSED);
    r.os.addDisk("2:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdc", "sg2", true, true);
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.device().node(), "/dev/sg2");
}

TEST(PassthroughFind, DeviceWhoseInquiryNoLongerMatchesIsPassedOver) {
    Rig r;
    auto &d = r.os.addDisk("1:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdb", "sg1", true, true);
    d.inquiry.product = "SOMETHING ELSE";
    auto &b = r.make();
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_FALSE(r.os.isOpen(d));
    // A device that does not even answer INQUIRY is passed over too.
    auto &e = r.os.addDisk("2:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdc", "sg2", true, true);
    e.failures.push_back(fakesys::checkCondition(0x02, 0x3A, 0x00));
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_FALSE(r.os.isOpen(e));
}

// --- the commands as sent ----------------------------------------------------

struct Opened : ::testing::Test {
    Rig r;
    fakesys::Device *dev = nullptr;
    PassthroughBackend *b = nullptr;
    void SetUp() override {
        dev = &r.os.addDisk("1:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdb", "sg1", true, true, "8:16");
        b = &r.make();
        ASSERT_EQ(b->open(nullptr), SCSI_INIT_OK);
        dev->commands.clear();
    }
};

TEST_F(Opened, EachSectorOfReadDiskIsOneReadTenOfOneBlock) {
    std::vector<uint8_t> buf(3 * 512);
    dev->sectors[0x30000000] = std::vector<uint8_t>(512, 0x11);
    dev->sectors[0x30000002] = std::vector<uint8_t>(512, 0x33);
    ASSERT_EQ(b->readDisk(0x30000000, 3, buf.data()), 1);
    ASSERT_EQ(dev->commands.size(), 3u);
    EXPECT_EQ(dev->commands[0].cdb, bytes({0x28, 0, 0x30, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(dev->commands[2].cdb, bytes({0x28, 0, 0x30, 0, 0, 2, 0, 0, 1, 0}));
    for (auto &c : dev->commands) {
        EXPECT_EQ(c.direction, SgExchange::Direction::FromDevice);
        EXPECT_EQ(c.length, 512u);
    }
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(buf[2 * 512], 0x33);
}

TEST_F(Opened, WriteDiskSendsItsSectorsOut) {
    std::vector<uint8_t> data(2 * 512);
    data[0] = 0xAB;
    data[512] = 0xCD;
    ASSERT_EQ(b->writeDisk(0xA0000000, 2, data.data()), 1);
    ASSERT_EQ(dev->commands.size(), 2u);
    EXPECT_EQ(dev->commands[0].cdb, bytes({0x2A, 0, 0xA0, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(dev->commands[1].cdb, bytes({0x2A, 0, 0xA0, 0, 0, 1, 0, 0, 1, 0}));
    EXPECT_EQ(dev->commands[0].direction, SgExchange::Direction::ToDevice);
    EXPECT_EQ(dev->commands[0].data[0], 0xAB);
    EXPECT_EQ(dev->commands[1].data[0], 0xCD);
}

TEST_F(Opened, ScsiCommandBlocksGoUnchangedWithTheirLength) {
    const uint8_t protect[12] = {0x28, 0, 0x50, 0, 0, 0, 0, 0, 3, 0, 0, 0};
    std::vector<uint8_t> scratch(1536);
    ASSERT_EQ(b->readScsi(protect, scratch.data(), 1536), 1);
    const uint8_t commit[12] = {0x2A, 0, 0x70, 0, 0, 0, 0, 0, 8, 0, 0, 0};
    std::vector<uint8_t> info(4096, 0x5A);
    ASSERT_EQ(b->writeScsi(commit, info.data(), 4096), 1);
    ASSERT_EQ(dev->commands.size(), 2u);
    EXPECT_EQ(dev->commands[0].cdb, std::vector<uint8_t>(protect, protect + 12));
    EXPECT_EQ(dev->commands[0].direction, SgExchange::Direction::FromDevice);
    EXPECT_EQ(dev->commands[0].length, 1536u);
    EXPECT_EQ(dev->commands[1].cdb, std::vector<uint8_t>(commit, commit + 12));
    EXPECT_EQ(dev->commands[1].direction, SgExchange::Direction::ToDevice);
    EXPECT_EQ(dev->commands[1].data, info);
}

TEST_F(Opened, BadArgumentsSendNothing) {
    const uint8_t cdb[12] = {0x28, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(b->readDisk(0, 1, nullptr), 0);
    EXPECT_EQ(b->writeDisk(0, 1, nullptr), 0);
    EXPECT_EQ(b->readDisk(0, 0, std::vector<uint8_t>(512).data()), 0);
    EXPECT_EQ(b->readScsi(nullptr, std::vector<uint8_t>(512).data(), 512), 0);
    EXPECT_EQ(b->readScsi(cdb, nullptr, 512), 0);
    EXPECT_EQ(b->writeScsi(cdb, nullptr, 512), 0);
    EXPECT_TRUE(dev->commands.empty());
    b->close();
    EXPECT_EQ(b->readDisk(0, 1, std::vector<uint8_t>(512).data()), 0);
    EXPECT_TRUE(dev->commands.empty());
}

// --- failures ------------------------------------------------------------------

TEST_F(Opened, CheckConditionFailsTheCommandAndKeepsItsSense) {
    dev->failures.push_back(fakesys::checkCondition(0x03, 0x11, 0x00)); // unrecovered read error
    std::vector<uint8_t> buf(2 * 512);
    EXPECT_EQ(b->readDisk(100, 2, buf.data()), 0);
    EXPECT_EQ(dev->commands.size(), 1u) << "the second sector is not read after the first failed";
    EXPECT_EQ(b->lastResult().outcome, Outcome::CheckCondition);
    EXPECT_EQ(b->lastResult().sense.key, 0x03);
    EXPECT_EQ(b->lastResult().sense.asc, 0x11);
    ASSERT_FALSE(r.logLines.empty());
    EXPECT_NE(r.logLines.back().find("sense key=0x3 asc=0x11 ascq=0x00"), std::string::npos) << r.logLines.back();
    EXPECT_NE(r.logLines.back().find("cdb=28 00 00 00 00 64 00 00 01 00"), std::string::npos) << r.logLines.back();
}

TEST_F(Opened, UnitAttentionAfterAResetIsRetriedOnce) {
    dev->failures.push_back(fakesys::checkCondition(0x06, 0x29, 0x00));
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(b->readDisk(7, 1, buf.data()), 1);
    EXPECT_EQ(dev->commands.size(), 2u);
    EXPECT_EQ(dev->commands[0].cdb, dev->commands[1].cdb);

    dev->commands.clear();
    dev->failures.push_back(fakesys::checkCondition(0x06, 0x29, 0x00));
    dev->failures.push_back(fakesys::checkCondition(0x06, 0x29, 0x00));
    EXPECT_EQ(b->readDisk(7, 1, buf.data()), 0);
    EXPECT_EQ(dev->commands.size(), 2u) << "only one retry";

    // Other unit attentions (here: parameters changed) are not a reset.
    dev->commands.clear();
    dev->failures.push_back(fakesys::checkCondition(0x06, 0x2A, 0x01));
    EXPECT_EQ(b->readDisk(7, 1, buf.data()), 0);
    EXPECT_EQ(dev->commands.size(), 1u);
}

TEST_F(Opened, TimeoutsAndDriverFailuresFail) {
    std::vector<uint8_t> buf(512);
    fakesys::Failure timedOut;
    timedOut.hostStatus = 0x03;
    dev->failures.push_back(timedOut);
    EXPECT_EQ(b->readDisk(0, 1, buf.data()), 0);
    EXPECT_EQ(b->lastResult().outcome, Outcome::Timeout);

    fakesys::Failure ioctlTimeout;
    ioctlTimeout.ioctlErrno = ETIMEDOUT;
    dev->failures.push_back(ioctlTimeout);
    EXPECT_EQ(b->writeDisk(0, 1, buf.data()), 0);
    EXPECT_EQ(b->lastResult().outcome, Outcome::Timeout);

    fakesys::Failure gone;
    gone.ioctlErrno = ENODEV;
    dev->failures.push_back(gone);
    EXPECT_EQ(b->readDisk(0, 1, buf.data()), 0);
    EXPECT_EQ(b->lastResult().outcome, Outcome::TransportError);
    EXPECT_EQ(b->lastResult().osError, ENODEV);

    fakesys::Failure adapter;
    adapter.hostStatus = 0x07; // DID_ERROR
    dev->failures.push_back(adapter);
    EXPECT_EQ(b->readDisk(0, 1, buf.data()), 0);
    EXPECT_EQ(b->lastResult().outcome, Outcome::TransportError);
}

TEST_F(Opened, RecoveredErrorStillSucceeds) {
    fakesys::Failure recovered = fakesys::checkCondition(0x01, 0x17, 0x01);
    dev->failures.push_back(recovered);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(b->readDisk(0, 1, buf.data()), 1);
    EXPECT_EQ(b->lastResult().outcome, Outcome::Recovered);
}

TEST(PassthroughSense, FixedAndDescriptorFormatsDecode) {
    uint8_t fixed[18] = {0xF0, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
    Sense s = decodeSense(fixed, sizeof fixed);
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.key, 0x05);
    EXPECT_EQ(s.asc, 0x24);
    uint8_t descriptor[8] = {0x72, 0x06, 0x29, 0x02};
    s = decodeSense(descriptor, sizeof descriptor);
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.key, 0x06);
    EXPECT_EQ(s.asc, 0x29);
    EXPECT_EQ(s.ascq, 0x02);
    uint8_t junk[3] = {0x12, 0x34, 0x56};
    EXPECT_FALSE(decodeSense(junk, sizeof junk).valid);
    EXPECT_FALSE(decodeSense(fixed, 1).valid);
}

// --- volumes of the device -----------------------------------------------------

TEST_F(Opened, DismountUnmountsEveryVolumeOfTheDiskAndOnlyThose) {
    r.os.dirs["/sys/block/sdb"] = {"device", "sdb1", "sdb2", "queue"};
    r.os.files["/sys/block/sdb/sdb1/dev"] = "8:17\n";
    r.os.files["/sys/block/sdb/sdb2/dev"] = "8:18\n";
    r.os.files["/proc/self/mountinfo"] = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                         "40 22 8:17 / /media/u/PUBLIC rw,nosuid - vfat /dev/sdb1 rw\n"
                                         "41 22 8:18 / /media/u/MY\\040DATA rw,nosuid - vfat /dev/sdb2 rw\n";
    EXPECT_EQ(b->disMountDisk(), 1);
    ASSERT_EQ(r.os.programs.size(), 2u);
    EXPECT_EQ(r.os.programs[0], (std::vector<std::string>{"umount", "/media/u/MY DATA"}));
    EXPECT_EQ(r.os.programs[1], (std::vector<std::string>{"umount", "/media/u/PUBLIC"}));

    r.os.programs.clear();
    r.os.udisks = true;
    r.os.programResult = 1;
    EXPECT_EQ(b->disMountDisk(), 0);
    ASSERT_EQ(r.os.programs.size(), 2u);
    EXPECT_EQ(r.os.programs[1], (std::vector<std::string>{"udisksctl", "unmount", "--no-user-interaction",
                                                          "--block-device", "/dev/sdb1"}));
    EXPECT_EQ(b->unmountFailures().size(), 2u);
}

TEST_F(Opened, DiskVolumeMaskNamesTheDrivesOnTheDevice) {
    auto map = std::filesystem::temp_directory_path() / ("passthrough-drives-" + std::to_string(getpid()));
    {
        std::ofstream out(map);
        out << "E:\t/dev/sdb1\t0\t1048576\trw\n"
               "F:\t/dev/sda1\t0\t1048576\trw\n"
               "G:\t/dev/sdb\t0\t0\trw\n";
    }
    setenv("FLASHDISK_DRIVES", map.c_str(), 1);
    int32_t mask = b->getDiskVolume(0);
    unsetenv("FLASHDISK_DRIVES");
    std::filesystem::remove(map);
    EXPECT_EQ(mask, (1 << 4) | (1 << 6));
}

// --- through to an emulated flash disk ---------------------------------------------

TEST(PassthroughToEmulator, VendorCommandsReachTheDeviceModelUnchanged) {
    auto dir = std::filesystem::temp_directory_path() / ("passthrough-emu-" + std::to_string(getpid()));
    flashemu::DiskOptions options;
    options.sectors = 100000;
    ASSERT_TRUE(flashemu::createDisk(dir.string(), options));
    ASSERT_TRUE(flashemu::setLogging(dir.string(), true));
    auto emulator = flashemu::makeEmulatorBackend(dir.string());
    ASSERT_EQ(emulator->open(nullptr), 0);

    Rig r;
    auto &dev = r.os.addDisk("3:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdd", "sg4", true, true);
    dev.forward = emulator.get();
    auto &b = r.make();
    ASSERT_EQ(b.open(nullptr), SCSI_INIT_OK);
    flashemu::clearLog(dir.string());

    std::array<uint8_t, 512> info{};
    ASSERT_EQ(b.readDisk(cfgtbl::addr::kDeviceInfo, 1, info.data()), 1);
    EXPECT_EQ(bo::getLE16(info.data() + cfgtbl::kDevPageSectors), options.pageSectorsRaw);
    std::array<uint8_t, 512> table{};
    ASSERT_EQ(b.readDisk(cfgtbl::addr::kReadPageBase + uint32_t(options.primaryPage), 1, table.data()), 1);
    EXPECT_EQ(bo::getLE32(table.data()), 0x5A5A5A5Au);
    EXPECT_EQ(std::memcmp(table.data() + cfgtbl::kVersionText, "2.00", 4), 0);
    // Plain sectors written through the pass-through come back.
    std::vector<uint8_t> data(512, 0x6B);
    const uint8_t write10[12] = {0x2A, 0, 0, 0, 0, 9, 0, 0, 1, 0, 0, 0};
    ASSERT_EQ(b.writeScsi(write10, data.data(), 512), 1);
    std::vector<uint8_t> back(512);
    ASSERT_EQ(b.readDisk(9, 1, back.data()), 1);
    EXPECT_EQ(back, data);
    // A command the device refuses fails here too.
    EXPECT_EQ(b.writeDisk(0x0FFFFFFF, 1, data.data()), 0);
    EXPECT_EQ(b.lastResult().outcome, Outcome::CheckCondition);

    auto log = flashemu::readLog(dir.string());
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].op, "ReadScsi");
    EXPECT_EQ(log[0].address, cfgtbl::addr::kDeviceInfo);
    EXPECT_EQ(log[0].count, 1u);
    EXPECT_EQ(log[0].length, 512u);
    EXPECT_EQ(log[1].address, cfgtbl::addr::kReadPageBase + uint32_t(options.primaryPage));
    EXPECT_EQ(log[2].op, "WriteScsi");
    EXPECT_EQ(log[2].address, 9u);
    emulator->close();
    std::filesystem::remove_all(dir);
}
