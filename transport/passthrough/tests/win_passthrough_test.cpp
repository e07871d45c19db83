// The pass-through over the Windows side against a fake system: which physical
// drive it takes, what it makes of a refused or held open, the command blocks it
// sends and how it reads their outcome, and the volumes it finds, locks and
// dismounts. Behind the fake drive sits the emulated flash disk, so the commands
// reach a device model.
#include <gtest/gtest.h>

#include <cstring>

#include "EmulatorBackend.h"
#include "FlashEmulator.h"
#include "ScsiTransport.h"
#include "TestProcess.h"
#include "WinFakeSystem.h"
#include "PassthroughBackend.h"
#include "WinDisks.h"
#include "table_layout.h"

using passthrough::Outcome;
using passthrough::win::WinDisks;
using winfake::FakeWinSystem;

namespace {

std::vector<uint8_t> params(const std::string &vendor, const std::string &product, const std::string &revision) {
    std::vector<uint8_t> p(40, 0);
    std::memcpy(p.data(), vendor.data(), std::min<size_t>(vendor.size(), 12));
    std::memcpy(p.data() + 12, product.data(), std::min<size_t>(product.size(), 20));
    std::memcpy(p.data() + 32, revision.data(), std::min<size_t>(revision.size(), 8));
    return p;
}

passthrough::Options knownMorvan() {
    passthrough::Options o;
    o.known = passthrough::parseKnownControllers("MORVAN\tFLASH DISK\n");
    return o;
}

// The core over the fake system, as SCSI.dll puts it together.
struct WinBackend {
    WinDisks disks;
    passthrough::PassthroughBackend backend;
    WinBackend(FakeWinSystem &os, passthrough::Options o = knownMorvan()) : disks(os), backend(disks, std::move(o)) {}
    passthrough::PassthroughBackend *operator->() { return &backend; }
    std::string node() const { return backend.device().node; }
};

// An emulated disk in a folder of its own, opened as the device model behind a drive.
struct EmulatedDisk {
    testsupport::ScratchDir dir{"winpt-test"};
    std::unique_ptr<scsi::Backend> model;
    EmulatedDisk() {
        flashemu::DiskOptions o;
        o.sectors = 40000;
        if (!flashemu::createDisk(dir.str(), o)) throw std::runtime_error("createDisk failed");
        model = flashemu::makeEmulatorBackend(dir.str());
        if (model->open(nullptr) != SCSI_INIT_OK) throw std::runtime_error("emulated disk does not open");
    }
};

std::array<uint8_t, 512> pattern(uint8_t seed) {
    std::array<uint8_t, 512> s;
    for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(seed ^ (i * 11));
    return s;
}

} // namespace

TEST(WinPassthroughFind, OnlyAUsbDriveOfAKnownControllerIsTakenWhateverTheBlockSays) {
    FakeWinSystem os;
    // Drive 0 is the machine's own disk, of a known identity but fixed and SATA;
    // drive 1 was unplugged (a gap); 2 is a foreign USB stick; 3 is ours, fixed
    // as the controller shows itself after an HDD-boot format.
    os.addDrive(0, "MORVAN", "FLASH DISK", "2.00", false, false);
    os.addDrive(2, "OTHER", "STICK", "1.00", true, true);
    os.addDrive(3, "MORVAN", "FLASH DISK", "2.00", true, false);
    WinBackend b(os);

    EXPECT_EQ(b->open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.node(), "\\\\.\\PhysicalDrive3");
    auto exact = params("MORVAN", "FLASH DISK", "2.00");
    EXPECT_EQ(b->open(exact.data()), SCSI_INIT_OK);
    EXPECT_EQ(b.node(), "\\\\.\\PhysicalDrive3") << "a named identity never takes the fixed disk";
    auto named = params("OTHER", "STICK", "");
    EXPECT_EQ(b->open(named.data()), SCSI_INIT_NO_DEVICE) << "nor a controller we do not know";
    auto lower = params("morvan", "", "");
    EXPECT_EQ(b->open(lower.data()), SCSI_INIT_NO_DEVICE) << "identities compare exactly";

    // A drive whose device now answers another identity than the system cached
    // is passed over; so is one whose descriptor cannot be read.
    os.drives[3]->inquiry.product = "OTHER DISK";
    EXPECT_EQ(b->open(nullptr), SCSI_INIT_NO_DEVICE);
    os.drives[3]->inquiry.product = "FLASH DISK";
    os.drives[3]->descriptorError = 1;
    EXPECT_EQ(b->open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_EQ(os.openHandles(), 0u) << "every handle of a drive not taken is closed";

    WinBackend unknown(os, passthrough::Options{});
    os.drives[3]->descriptorError = 0;
    EXPECT_EQ(unknown->open(nullptr), SCSI_INIT_NO_DEVICE) << "without a known list nothing is taken";
}

TEST(WinPassthroughFind, TheUnitsOfOneDeviceAreOneDiskNamedByEither) {
    FakeWinSystem os;
    os.addDrive(2, "MORVAN", "FLASH DISK", "2.00", true, true);
    os.addDrive(4, "MORVAN", "FLASH DISK", "2.00", true, true).address = {1, 0, 2, 1}; // drive 2's second unit
    os.addDrive(5, "MORVAN", "FLASH DISK", "2.00", true, true);
    WinDisks disks(os);
    auto list = disks.listDisks();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].names, (std::vector<std::string>{"\\\\.\\PhysicalDrive2", "\\\\.\\PhysicalDrive4"}));

    auto o = knownMorvan();
    o.device = "\\\\.\\physicaldrive4";
    WinBackend b(os, o);
    EXPECT_EQ(b->open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.node(), "\\\\.\\PhysicalDrive2") << "commands go to the first unit";
}

TEST(WinPassthroughFind, RefusedOrHeldDrivesAreNotTaken) {
    FakeWinSystem os;
    auto &first = os.addDrive(1, "MORVAN", "FLASH DISK", "2.00", true, true);
    first.rawOpenError = passthrough::win::kErrorAccessDenied;
    WinBackend b(os);
    EXPECT_EQ(b->open(nullptr), SCSI_INIT_RAW_REFUSED) << "not elevated";
    uint8_t s[512];
    EXPECT_EQ(b->readDisk(0, 1, s), 0) << "nothing is open";

    first.rawOpenError = 0;
    first.heldElsewhere = true;
    EXPECT_EQ(b->open(nullptr), SCSI_INIT_BUSY) << "another program writes to it";

    first.heldElsewhere = false;
    first.rawOpenError = passthrough::win::kErrorAccessDenied;
    os.addDrive(4, "MORVAN", "FLASH DISK", "2.00", true, true);
    EXPECT_EQ(b->open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.node(), "\\\\.\\PhysicalDrive4");
    EXPECT_EQ(os.rawOpens, std::vector<std::string>{"\\\\.\\PhysicalDrive4"}) << "refused opens hold nothing";
    WinBackend second(os);
    EXPECT_EQ(second->open(nullptr), SCSI_INIT_RAW_REFUSED) << "drive 4 is ours now, drive 1 refuses";
    EXPECT_EQ(b->close(), 1);
    EXPECT_EQ(os.openHandles(), 0u);
}

TEST(WinPassthroughCommands, SectorsAndVendorBlocksReachTheDevice) {
    EmulatedDisk disk;
    FakeWinSystem os;
    auto &drive = os.addDrive(2, "MORVAN", "FLASH DISK", "2.00", true, true);
    drive.forward = disk.model.get();
    WinBackend wb(os);
    auto &b = wb.backend;
    ASSERT_EQ(b.open(nullptr), SCSI_INIT_OK);

    auto a = pattern(1), c = pattern(2);
    std::vector<uint8_t> two(a.begin(), a.end());
    two.insert(two.end(), c.begin(), c.end());
    drive.cdbs.clear();
    ASSERT_EQ(b.writeDisk(100, 2, two.data()), 1);
    // One WRITE(10) of one block per sector.
    ASSERT_EQ(drive.cdbs.size(), 2u);
    EXPECT_EQ(drive.cdbs[1], (std::vector<uint8_t>{0x2A, 0, 0, 0, 0, 101, 0, 0, 1, 0}));
    std::array<uint8_t, 512> back{};
    ASSERT_TRUE(flashemu::readPhysicalSectors(disk.dir.str(), 101, 1, back.data()));
    EXPECT_EQ(back, c);
    std::vector<uint8_t> got(1024);
    ASSERT_EQ(b.readDisk(100, 2, got.data()), 1);
    EXPECT_EQ(got, two);
    EXPECT_EQ(drive.cdbs.back()[0], 0x28);

    // The host's 12-byte command blocks go out unchanged: the device information block.
    uint8_t cdb[12] = {0x28, 0};
    bo::putBE32(cdb + 2, cfgtbl::addr::kDeviceInfo);
    bo::putBE16(cdb + 7, 1);
    std::array<uint8_t, 512> info{};
    ASSERT_EQ(b.readScsi(cdb, info.data(), 512), 1);
    EXPECT_EQ(drive.cdbs.back(), std::vector<uint8_t>(cdb, cdb + 12));
    EXPECT_EQ(bo::getLE32(info.data() + 16), 40000u) << "the device's own answer came back";

    // A refused command fails with the device's sense kept.
    uint8_t bad[12] = {0x2A, 0};
    bo::putBE32(bad + 2, 40000); // past the end of the disk
    bo::putBE16(bad + 7, 1);
    EXPECT_EQ(b.writeScsi(bad, a.data(), 512), 0);
    EXPECT_EQ(b.lastResult().outcome, Outcome::CheckCondition);
    EXPECT_EQ(b.lastResult().sense.key, 0x05);
    EXPECT_EQ(b.readScsi(nullptr, got.data(), 512), 0);
    EXPECT_EQ(b.readDisk(0, 0, got.data()), 0);
}

TEST(WinPassthroughCommands, OneRetryAfterAResetAndTheTransportsFailures) {
    EmulatedDisk disk;
    FakeWinSystem os;
    auto &drive = os.addDrive(0, "MORVAN", "FLASH DISK", "2.00", true, true);
    drive.forward = disk.model.get();
    WinBackend wb(os);
    auto &b = wb.backend;
    ASSERT_EQ(b.open(nullptr), SCSI_INIT_OK);
    auto a = pattern(7);
    std::array<uint8_t, 512> got{};

    drive.cdbs.clear();
    drive.failures.push_back(winfake::checkCondition(0x06, 0x29, 0x00)); // power on or reset
    EXPECT_EQ(b.writeDisk(5, 1, a.data()), 1) << "the command is sent again after the unit attention";
    EXPECT_EQ(drive.cdbs.size(), 2u);
    ASSERT_EQ(b.readDisk(5, 1, got.data()), 1);
    EXPECT_EQ(got, a);

    drive.failures.push_back(winfake::checkCondition(0x06, 0x28, 0x00)); // medium changed
    drive.failures.push_back(winfake::checkCondition(0x06, 0x29, 0x00));
    EXPECT_EQ(b.readDisk(5, 1, got.data()), 0) << "only once";
    EXPECT_EQ(b.lastResult().outcome, Outcome::UnitAttention);

    drive.cdbs.clear();
    drive.failures.push_back(winfake::checkCondition(0x06, 0x3F, 0x01)); // other unit attention
    EXPECT_EQ(b.readDisk(5, 1, got.data()), 0);
    EXPECT_EQ(drive.cdbs.size(), 1u) << "not a reset: no retry";

    winfake::Failure timeout;
    timeout.ioctlError = passthrough::win::kErrorSemTimeout;
    drive.failures.push_back(timeout);
    EXPECT_EQ(b.readDisk(5, 1, got.data()), 0);
    EXPECT_EQ(b.lastResult().outcome, Outcome::Timeout);
    EXPECT_EQ(b.lastResult().osError, int(passthrough::win::kErrorSemTimeout));

    winfake::Failure gone;
    gone.ioctlError = 1167; // ERROR_DEVICE_NOT_CONNECTED
    drive.failures.push_back(gone);
    EXPECT_EQ(b.writeDisk(5, 1, a.data()), 0);
    EXPECT_EQ(b.lastResult().outcome, Outcome::TransportError);
}

TEST(WinPassthroughVolumes, LettersOnTheDiskAreLockedBeforeTheLayoutIsRewritten) {
    FakeWinSystem os;
    os.addDrive(0, "ATA", "SYSTEM", "1", false, false);
    auto &drive = os.addDrive(1, "MORVAN", "FLASH DISK", "2.00", true, true);
    os.volumes['E'] = {1};
    os.volumes['G'] = {1};
    os.volumes['D'] = {0};
    winfake::Volume cdrom;
    cdrom.cdrom = true;
    cdrom.drive = 1; // a CD-ROM's number counts CD-ROMs, not disks
    os.volumes['H'] = cdrom;
    WinBackend wb(os);
    auto &b = wb.backend;
    EXPECT_EQ(b.getDiskVolume(0), 0) << "no disk open";
    EXPECT_EQ(b.disMountDisk(), 0);
    ASSERT_EQ(b.open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.getDiskVolume(0), (1 << 4) | (1 << 6));

    // A file open on G: keeps it: the whole-disk table does not go out.
    os.volumes['G'].dismountError = passthrough::win::kErrorAccessDenied;
    std::array<uint8_t, 512> table{};
    drive.cdbs.clear();
    EXPECT_EQ(b.writeDisk(0x22800000, 1, table.data()), 0);
    EXPECT_TRUE(drive.cdbs.empty());
    ASSERT_EQ(b.unmountFailures().size(), 1u);
    EXPECT_EQ(b.unmountFailures()[0], "G: (G:\\): a program has a file open on it (Windows error 5)");

    os.volumes['G'].dismountError = 0;
    EXPECT_EQ(b.writeDisk(0x22800000, 1, table.data()), 1);
    EXPECT_TRUE(os.volumes['E'].locked && os.volumes['G'].locked) << "held until the disk is closed";
    EXPECT_FALSE(os.volumes['D'].dismounted) << "the machine's own disk is left alone";
    EXPECT_FALSE(os.volumes['H'].dismounted);
    b.close();
    EXPECT_FALSE(os.volumes['E'].locked || os.volumes['G'].locked);
    EXPECT_EQ(os.openHandles(), 0u);
}
