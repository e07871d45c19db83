// The Windows pass-through against a fake system: which physical drive it takes,
// what it makes of a refused open, the command blocks it sends and how it reads
// their outcome, and the volumes it finds and dismounts. Behind the fake drive
// sits the emulated flash disk, so the commands reach a device model.
#include <gtest/gtest.h>

#include <cstring>

#include "EmulatorBackend.h"
#include "FlashEmulator.h"
#include "ScsiTransport.h"
#include "TestProcess.h"
#include "WinFakeSystem.h"
#include "WinPassthroughBackend.h"
#include "table_layout.h"

using passthrough::Outcome;
using passthrough::win::WinPassthroughBackend;
using winfake::FakeWinSystem;

namespace {

std::vector<uint8_t> params(const std::string &vendor, const std::string &product, const std::string &revision) {
    std::vector<uint8_t> p(40, 0);
    std::memcpy(p.data(), vendor.data(), std::min<size_t>(vendor.size(), 12));
    std::memcpy(p.data() + 12, product.data(), std::min<size_t>(product.size(), 20));
    std::memcpy(p.data() + 32, revision.data(), std::min<size_t>(revision.size(), 8));
    return p;
}

passthrough::win::Options knownMorvan() {
    passthrough::win::Options o;
    o.known = passthrough::parseKnownControllers("MORVAN\tFLASH DISK\n");
    return o;
}

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

TEST(WinPassthroughFind, ParameterBlockOrKnownRemovableUsbChoosesTheDrive) {
    FakeWinSystem os;
    // Drive 0 is the machine's own disk, of a known identity but fixed and SATA;
    // drive 1 was unplugged (a gap); 2 is a foreign USB stick; 3 is ours.
    os.addDrive(0, "MORVAN", "FLASH DISK", "2.00", false, false);
    os.addDrive(2, "OTHER", "STICK", "1.00", true, true);
    os.addDrive(3, "MORVAN", "FLASH DISK", "2.00", true, true);
    WinPassthroughBackend b(os, knownMorvan());

    EXPECT_EQ(b.open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.driveNumber(), 3u) << "an empty block takes only a removable USB disk of a known controller";
    auto empty = params("", "", "");
    EXPECT_EQ(b.open(empty.data()), SCSI_INIT_OK);
    EXPECT_EQ(b.driveNumber(), 3u);

    auto named = params("OTHER", "STICK", "");
    EXPECT_EQ(b.open(named.data()), SCSI_INIT_OK);
    EXPECT_EQ(b.driveNumber(), 2u) << "a named identity is taken whatever its controller";
    auto exact = params("MORVAN", "FLASH DISK", "2.00");
    EXPECT_EQ(b.open(exact.data()), SCSI_INIT_OK);
    EXPECT_EQ(b.driveNumber(), 0u) << "a named identity is taken on any bus, first drive first";
    auto lower = params("morvan", "", "");
    EXPECT_EQ(b.open(lower.data()), SCSI_INIT_NO_DEVICE) << "identities compare exactly";
    auto prefix = params("", "FLASH", "");
    EXPECT_EQ(b.open(prefix.data()), SCSI_INIT_NO_DEVICE);

    // A drive whose device now answers another identity than the system cached
    // is passed over; so is one whose descriptor cannot be read.
    os.drives[3]->inquiry.product = "OTHER DISK";
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    os.drives[3]->inquiry.product = "FLASH DISK";
    os.drives[3]->descriptorError = 1;
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);
    EXPECT_EQ(os.openHandles(), 0u) << "every handle of a drive not taken is closed";

    WinPassthroughBackend unknown(os, passthrough::win::Options{});
    os.drives[3]->descriptorError = 0;
    EXPECT_EQ(unknown.open(nullptr), SCSI_INIT_NO_DEVICE) << "without a known list an empty block takes nothing";
}

TEST(WinPassthroughFind, RefusedRawAccessAnswersTwoUnlessAnotherDriveOpens) {
    FakeWinSystem os;
    auto &first = os.addDrive(1, "MORVAN", "FLASH DISK", "2.00", true, true);
    first.rawOpenError = passthrough::win::kErrorAccessDenied;
    WinPassthroughBackend b(os, knownMorvan());
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_RAW_REFUSED) << "not elevated";
    uint8_t s[512];
    EXPECT_EQ(b.readDisk(0, 1, s), 0) << "nothing is open";

    first.rawOpenError = 32; // ERROR_SHARING_VIOLATION: not a question of rights
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_NO_DEVICE);

    first.rawOpenError = passthrough::win::kErrorAccessDenied;
    os.addDrive(4, "MORVAN", "FLASH DISK", "2.00", true, true);
    EXPECT_EQ(b.open(nullptr), SCSI_INIT_OK);
    EXPECT_EQ(b.driveNumber(), 4u);
    EXPECT_EQ(os.rawOpens, std::vector<std::string>{"\\\\.\\PhysicalDrive4"}) << "refused opens hold nothing";
    EXPECT_EQ(b.close(), 1);
    EXPECT_EQ(os.openHandles(), 0u);
}

TEST(WinPassthroughCommands, SectorsAndVendorBlocksReachTheDevice) {
    EmulatedDisk disk;
    FakeWinSystem os;
    auto &drive = os.addDrive(2, "MORVAN", "FLASH DISK", "2.00", true, true);
    drive.forward = disk.model.get();
    WinPassthroughBackend b(os, knownMorvan());
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
    WinPassthroughBackend b(os, knownMorvan());
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

TEST(WinPassthroughVolumes, LettersOnTheDiskAreFoundAndDismounted) {
    FakeWinSystem os;
    os.addDrive(0, "ATA", "SYSTEM", "1", false, false);
    os.addDrive(1, "MORVAN", "FLASH DISK", "2.00", true, true);
    os.volumes['E'] = {1};
    os.volumes['G'] = {1};
    os.volumes['D'] = {0};
    winfake::Volume cdrom;
    cdrom.cdrom = true;
    cdrom.drive = 1; // a CD-ROM's number counts CD-ROMs, not disks
    os.volumes['H'] = cdrom;
    WinPassthroughBackend b(os, knownMorvan());
    EXPECT_EQ(b.getDiskVolume(0), 0) << "no disk open";
    EXPECT_EQ(b.disMountDisk(), 0);
    ASSERT_EQ(b.open(nullptr), SCSI_INIT_OK);

    EXPECT_EQ(b.getDiskVolume(0), (1 << 4) | (1 << 6));
    EXPECT_EQ(b.disMountDisk(), 1);
    EXPECT_TRUE(os.volumes['E'].dismounted);
    EXPECT_TRUE(os.volumes['G'].dismounted);
    EXPECT_FALSE(os.volumes['D'].dismounted) << "the machine's own disk is left alone";
    EXPECT_FALSE(os.volumes['H'].dismounted);
    EXPECT_EQ(os.openHandles(), 1u) << "only the disk's own handle stays open";

    os.volumes['E'].dismounted = false;
    os.volumes['G'].dismounted = false;
    os.volumes['G'].dismountError = passthrough::win::kErrorAccessDenied; // a file open on it
    EXPECT_EQ(b.disMountDisk(), 0);
    EXPECT_EQ(b.unmountFailures(), "G");
    EXPECT_TRUE(os.volumes['E'].dismounted) << "the others are still dismounted";
}
