// The pass-through against a fake machine: which disk may be taken and which
// is, the exact command blocks and directions sent, how failures and sense data
// end a command, one writer at a time, and the disk's volumes taken down before
// its layout is rewritten. The last group puts an emulated flash disk behind the
// fake SG_IO device, so the vendor commands go the whole way.
#include <gtest/gtest.h>

#include <cerrno>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "EmulatorBackend.h"
#include "FakeSystem.h"
#include "FlashEmulator.h"
#include "LinuxDisks.h"
#include "PassthroughBackend.h"
#include "ScsiTransport.h"
#include "TestProcess.h"
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
    LinuxDisks disks{os};
    std::vector<std::string> logLines;
    std::unique_ptr<PassthroughBackend> backend;

    Rig() = default;
    PassthroughBackend &make(std::vector<KnownController> known = {{"MORVAN", "FLASH DISK", ""}},
                             const std::string &device = {}) {
        backend = std::make_unique<PassthroughBackend>(disks, options(std::move(known), device));
        return *backend;
    }
    Options options(std::vector<KnownController> known = {{"MORVAN", "FLASH DISK", ""}},
                    const std::string &device = {}) {
        Options o;
        o.known = std::move(known);
        o.device = device;
        // QUENDAL_SCSI_LOG set: the rig's commands are shown, for a replay.
        o.log = [this, show = std::getenv(kLogEnv) != nullptr](const std::string &l) {
            if (show) std::fprintf(stderr, "SCSI.dll: %s\n", l.c_str());
            logLines.push_back(l);
        };
        return o;
    }
    bool logged(const std::string &text) const {
        for (const auto &l : logLines)
            if (l.find(text) != std::string::npos) return true;
        return false;
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

TEST(PassthroughFind, DisksComeInAddressOrderOneEntryPerTarget) {
    FakeSystem os;
    os.addDisk("10:0:0:0", "LATE", "DISK", "1", "sdc", "sg3", true, true);
    os.addDisk("2:0:0:0", "EARLY", "DISK", "1", "sda", "", false, false);
    os.addDisk("6:0:0:0", "MIDDLE", "DISK", "1", "sdb", "sg1", true, true);
    // The second logical unit of the flash disk at 6:0:0 (its area 2).
    os.addDisk("6:0:0:1", "MIDDLE", "DISK", "1", "sdd", "sg4", true, true);
    os.files["/sys/block/sdb/size"] = "2000000\n";
    os.dirs["/sys/bus/scsi/devices"].push_back("host6");
    os.dirs["/sys/bus/scsi/devices"].push_back("7:0:0:0");
    os.files["/sys/bus/scsi/devices/7:0:0:0/type"] = "5\n"; // a CD-ROM drive without nodes
    os.dirs["/sys/bus/scsi/devices"].push_back("8:0:0:0");
    os.files["/sys/bus/scsi/devices/8:0:0:0/type"] = "1\n"; // a tape
    os.dirs["/sys/bus/scsi/devices/8:0:0:0/scsi_generic"] = {"sg8"};
    auto disks = LinuxDisks(os).listDisks();
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].identity.vendor, "EARLY");
    EXPECT_EQ(disks[0].node, "/dev/sda");
    EXPECT_FALSE(disks[0].usb);
    EXPECT_EQ(disks[1].node, "/dev/sg1") << "commands go to the first unit's generic node";
    EXPECT_EQ(disks[1].names, (std::vector<std::string>{"/dev/sg1", "/dev/sdb", "/dev/sg4", "/dev/sdd"}));
    EXPECT_EQ(disks[1].units, (std::vector<std::string>{"sdb", "sdd"}));
    EXPECT_EQ(disks[1].sectors, 2000000u);
    EXPECT_TRUE(disks[1].usb);
    EXPECT_EQ(disks[2].node, "/dev/sg3");
}

TEST(PassthroughFind, OnlyAUsbDiskOfAKnownControllerIsEverOpened) {
    Rig r;
    // The machine's own disk wears the controller's identity, and a foreign
    // stick comes first too; neither may be opened, whatever the block asks.
    auto &fixed = r.os.addDisk("0:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sda", "sg0", false, false);
    r.os.addDisk("1:0:0:0", "ACME", "STICK", "1.00", "sdb", "sg1", true, true);
    // After an HDD-boot format the flash disk says it is fixed: still ours.
    auto &want = r.os.addDisk("6:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdc", "sg2", false, true);
    auto &b = r.make();
    auto login = params("", "", "2.00"); // what the login program's FlashDisk.ini asks for
    EXPECT_EQ(b.open(login.data()), SCSI_INIT_OK);
    EXPECT_EQ(b.device().node, "/dev/sg2");
    EXPECT_TRUE(r.os.isOpen(want));
    EXPECT_EQ(r.os.openCount, 1);
    EXPECT_TRUE(fixed.commands.empty());
    auto foreign = params("ACME", "", "");
    EXPECT_EQ(b.open(foreign.data()), SCSI_INIT_NO_DEVICE) << "a named identity only narrows the known disks";
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

TEST(PassthroughFind, TheDiskNodeTakesCommandsWhenThereIsNoGenericNode) {
    Rig r;
    r.os.addDisk("1:0:0:0", "ACME", "STICK", "1.00", "sdb", "", true, true);
    auto &b = r.make({{"ACME", "", ""}});
    auto p = params("ACME", "", "");
    EXPECT_EQ(b.open(p.data()), SCSI_INIT_OK);
    EXPECT_EQ(b.device().node, "/dev/sdb");
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
    EXPECT_EQ(b.device().node, "/dev/sg2");
}

TEST(PassthroughFind, ADiskThatDoesNotAnswerAsOursIsPassedOver) {
    Rig r;
    auto &d = r.os.addDisk("1:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdb", "sg1", true, true);
    d.inquiry.product = "SOMETHING ELSE";
    auto &b = r.make();
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_FALSE(r.os.isOpen(d));
    // Nor one that does not answer INQUIRY, nor the device-information read.
    auto &e = r.os.addDisk("2:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdc", "sg2", true, true);
    for (int look = 0; look < 2; ++look) e.failures.push_back(fakesys::checkCondition(0x02, 0x3A, 0x00));
    auto &f = r.os.addDisk("3:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdd", "sg3", true, true);
    f.refusedAddresses = {0x30000000u};
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_FALSE(r.os.isOpen(e));
    EXPECT_FALSE(r.os.isOpen(f));
    EXPECT_TRUE(b.survey().empty());
}

TEST(PassthroughFind, WithTwoFlashDisksTheNamedOneIsTaken) {
    Rig r;
    r.os.addDisk("0:0:0:0", "ATA", "SYSTEM DISK", "1.0", "sda", "sg0", false, false);
    r.os.addDisk("6:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdb", "sg1", true, true);
    r.os.addDisk("7:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdc", "sg2", true, true);
    r.os.addDisk("7:0:0:1", "MORVAN", "FLASH DISK", "2.00", "sdd", "sg3", true, true);
    auto candidates = r.make().survey();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].disk.node, "/dev/sg1");
    EXPECT_EQ(candidates[1].disk.node, "/dev/sg2");
    EXPECT_EQ(candidates[1].state, Candidate::State::Ready);
    EXPECT_EQ(r.os.openCount, 2);
    EXPECT_FALSE(r.backend->isOpen()) << "a survey keeps nothing open";

    // Named by the second unit's disk node: the device, with commands to its first unit.
    auto &b = r.make({{"MORVAN", "FLASH DISK", ""}}, "/dev/sdd");
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.device().node, "/dev/sg2");

    std::string why;
    auto &fixed = r.make({{"MORVAN", "FLASH DISK", ""}}, "/dev/sda");
    EXPECT_TRUE(fixed.eligible({}, &why).empty());
    EXPECT_EQ(why, "/dev/sg0 is not a USB disk");
    EXPECT_EQ(fixed.open(nullptr), SCSI_INIT_NO_DEVICE);
    auto &none = r.make({{"MORVAN", "FLASH DISK", ""}}, "/dev/sdz");
    EXPECT_TRUE(none.eligible({}, &why).empty());
    EXPECT_EQ(why, "/dev/sdz is not a disk of this machine");
}

TEST(PassthroughFind, ASecondWriterFindsTheDiskBusyAndWhoHoldsIt) {
    Rig r;
    auto &d = r.os.addDisk("6:0:0:0", "MORVAN", "FLASH DISK", "2.00", "sdb", "sg1", true, true);
    auto &first = r.make();
    ASSERT_EQ(first.open(nullptr), SCSI_INIT_OK);
    // The holder as procfs shows it.
    r.os.dirs["/proc"] = {"1", "4242", "self"};
    r.os.dirs["/proc/4242/fd"] = {"0", "5"};
    r.os.links["/proc/4242/fd/5"] = "/dev/sg1";
    r.os.files["/proc/4242/comm"] = "quendal\n";

    PassthroughBackend second(r.disks, r.options());
    EXPECT_EQ(second.open(nullptr), SCSI_INIT_BUSY);
    auto seen = second.survey();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].state, Candidate::State::Busy);
    EXPECT_EQ(seen[0].detail, "quendal (pid 4242)");
    const size_t sent = d.commands.size();
    std::vector<uint8_t> sector(512);
    EXPECT_EQ(second.writeDisk(0x22000000, 1, sector.data()), 0);
    EXPECT_EQ(d.commands.size(), sent) << "the second writer sent nothing";

    first.close();
    EXPECT_EQ(second.open(nullptr), SCSI_INIT_OK);
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

TEST_F(Opened, AShortTransferFailsTheReadAndTheWrite) {
    std::vector<uint8_t> buf(512);
    dev->shortBy = 12;
    EXPECT_EQ(b->readDisk(0, 1, buf.data()), 0);
    dev->shortBy = 512;
    EXPECT_EQ(b->writeDisk(5, 1, buf.data()), 0);
    const uint8_t write10[12] = {0x2A, 0, 0, 0, 0, 5, 0, 0, 1, 0, 0, 0};
    dev->shortBy = 1;
    EXPECT_EQ(b->writeScsi(write10, buf.data(), 512), 0);
    EXPECT_NE(r.logLines.back().find("-> good"), std::string::npos) << "the device said GOOD: " << r.logLines.back();
    EXPECT_NE(r.logLines.back().find("resid=1"), std::string::npos) << r.logLines.back();
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

// The flash disk at 1:0:0 with its two units (sdb with two partitions, sdc for
// area 2) beside the machine's own sda and a disk whose name starts alike.
struct Mounted : Opened {
    void SetUp() override {
        r.os.addDisk("1:0:0:1", "MORVAN", "FLASH DISK", "2.00", "sdc", "sg2", true, true, "8:32");
        r.os.dirs["/sys/block/sdb"] = {"device", "sdb1", "sdb2", "queue"};
        r.os.files["/sys/block/sdb/sdb1/dev"] = "8:17\n";
        r.os.files["/sys/block/sdb/sdb2/dev"] = "8:18\n";
        r.os.files["/proc/self/mountinfo"] = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                             "40 22 8:17 / /media/u/PUBLIC rw,nosuid - vfat /dev/sdb1 rw\n"
                                             "41 22 8:32 / /media/u/MY\\040DATA rw,nosuid - vfat /dev/sdc rw\n"
                                             "42 22 65:1 / /media/u/OTHER rw - vfat /dev/sdba1 rw\n";
        Opened::SetUp();
    }
};

TEST_F(Mounted, DismountUnmountsEveryVolumeOfBothUnitsAndOnlyThose) {
    EXPECT_EQ(b->disMountDisk(), 1);
    ASSERT_EQ(r.os.programs.size(), 2u);
    EXPECT_EQ(r.os.programs[0], (std::vector<std::string>{"umount", "/media/u/MY DATA"}));
    EXPECT_EQ(r.os.programs[1], (std::vector<std::string>{"umount", "/media/u/PUBLIC"}));

    // With the desktop's service running it is asked first; what umount took
    // down is gone from the mount table.
    r.os.programs.clear();
    r.os.udisks = true;
    EXPECT_EQ(b->disMountDisk(), 1);
    ASSERT_EQ(r.os.programs.size(), 1u);
    EXPECT_EQ(r.os.programs[0], (std::vector<std::string>{"udisksctl", "unmount", "--no-user-interaction",
                                                          "--block-device", "/dev/sdc"}));
}

TEST_F(Mounted, TheWholeDiskTableGoesOutOnlyAfterEveryVolumeIsDown) {
    std::vector<uint8_t> table(512, 0x5A);
    ASSERT_EQ(b->writeDisk(0x22800000, 1, table.data()), 1);
    ASSERT_EQ(r.os.programs.size(), 2u) << "both volumes were unmounted";
    ASSERT_EQ(dev->commands.size(), 1u);
    EXPECT_EQ(dev->commands[0].cdb, bytes({0x2A, 0, 0x22, 0x80, 0, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(r.logged("unmounted /dev/sdb1 (/media/u/PUBLIC)"));
    // Vendor writes that leave the media alone (a table of an information
    // block) unmount nothing and tell the system nothing.
    r.os.programs.clear();
    ASSERT_EQ(b->writeDisk(0x20800008, 1, table.data()), 1);
    EXPECT_TRUE(r.os.programs.empty());
    EXPECT_TRUE(r.os.written.empty());
}

// A login puts the secure area where the login volume was: a file system left
// mounted over it would read and write the wrong medium, and the kernel's disk
// driver, whose unit attention our next command would take, would go on
// showing the login volume's size (both seen on a real kernel).
TEST_F(Mounted, ALoginTakesTheVolumesDownFirstAndHasTheSystemReadTheUnitsAgain) {
    std::vector<uint8_t> record(512, 0xA5);
    ASSERT_EQ(b->writeDisk(0x60000000, 1, record.data()), 1);
    EXPECT_EQ(r.os.programs.size(), 2u) << "both volumes were unmounted";
    EXPECT_EQ(r.os.written, (std::vector<std::string>{"/sys/block/sdb/device/rescan=1", "/sys/block/sdc/device/rescan=1"}));
    EXPECT_EQ(r.os.rereads, (std::vector<std::string>{"/dev/sdb", "/dev/sdc"}));
    // Without root the system will not: said in the log, the login stands.
    r.os.written.clear();
    r.os.writeResult = -EACCES;
    ASSERT_EQ(b->writeDisk(0xA0000000, 1, record.data()), 1);
    EXPECT_TRUE(r.logged("shows the old medium until the disk is replugged"));
}

TEST_F(Mounted, ABusyVolumeStopsTheFirstWriteAndIsNamedWithItsHolder) {
    r.os.programResult = 32;
    r.os.programOutput = "umount: /media/u/PUBLIC: target is busy.\n";
    r.os.dirs["/proc"] = {"77", "self"};
    r.os.dirs["/proc/77/fd"] = {"3"};
    r.os.files["/proc/77/comm"] = "bash\n";
    r.os.fileDevices["/proc/77/cwd"] = "8:17";
    r.os.fileDevices["/media/u/PUBLIC"] = "8:17";
    std::vector<uint8_t> sector(512);
    EXPECT_EQ(b->writeDisk(0, 1, sector.data()), 0) << "the first sector write of a format";
    EXPECT_TRUE(dev->commands.empty()) << "nothing was written";
    ASSERT_EQ(b->unmountFailures().size(), 2u);
    EXPECT_EQ(b->unmountFailures()[1],
              "/dev/sdb1 (/media/u/PUBLIC): umount: /media/u/PUBLIC: target is busy.; held by bash (pid 77)");
}

TEST_F(Mounted, DiskVolumeMaskNamesTheDrivesOnTheDeviceExactly) {
    testsupport::ScratchDir dir("passthrough-drives");
    const std::string map = dir.str() + "/drives";
    {
        std::ofstream out(map);
        out << "E:\t/dev/sdb1\t0\t1048576\trw\n"
               "F:\t/dev/sda1\t0\t1048576\trw\n"
               "G:\t/dev/sdc\t0\t0\trw\n"
               "H:\t/dev/sdba1\t0\t0\trw\n";
    }
    testsupport::setEnv("FLASHDISK_DRIVES", map);
    int32_t mask = b->getDiskVolume(0);
    testsupport::unsetEnv("FLASHDISK_DRIVES");
    EXPECT_EQ(mask, (1 << 4) | (1 << 6)) << "/dev/sdb does not claim /dev/sdba1";
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
