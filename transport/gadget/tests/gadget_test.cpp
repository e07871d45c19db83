// The USB disk's SCSI target against a real emulated disk folder, and the
// Bulk-Only Transport driven through a socket pair standing in for the two
// bulk endpoints. The kernel end to end is the virtual machine's business.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>

#include "BulkOnly.h"
#include "FunctionFs.h"
#include "ScsiTarget.h"
#include "ScsiTestSupport.h"
#include "file_io.h"

using namespace scsitest;

namespace {

constexpr uint32_t kArea0 = 2500, kArea1 = 20000, kArea2 = 5000;

struct Reply {
    bool good = false;
    std::vector<uint8_t> data;
    gadget::Sense sense;
    std::string senseText() const {
        char b[16];
        std::snprintf(b, sizeof b, "%02X/%02X/%02X", sense.key, sense.asc, sense.ascq);
        return b;
    }
};

std::vector<uint8_t> rw10(uint8_t op, uint32_t lba, uint16_t blocks) {
    auto c = cdb(op, lba, blocks);
    return {c.begin(), c.begin() + 10};
}

// An emulated disk and the target serving it, as the gadget program sets them up.
struct Rig {
    Device dev;
    std::unique_ptr<flashemu::EmulatedDisk> disk;
    std::unique_ptr<gadget::ScsiTarget> target;

    explicit Rig(uint32_t sectors = 40000) : Rig(options(sectors)) {}
    explicit Rig(const flashemu::DiskOptions &o) : dev(o) {
        disk = flashemu::makeEmulatedDisk(dev.dir.path);
        EXPECT_EQ(disk->open(nullptr), 0);
        target = std::make_unique<gadget::ScsiTarget>(*disk, "0123456789AB");
    }
    static flashemu::DiskOptions options(uint32_t sectors) {
        auto o = Device::small();
        o.sectors = sectors;
        return o;
    }
    Reply run(uint8_t lun, std::vector<uint8_t> c, const std::vector<uint8_t> &out = {}) {
        Reply r;
        r.good = target->execute(lun, c.data(), c.size(), out, &r.data);
        r.sense = target->sense(lun);
        return r;
    }
    // Takes the unit attentions of power-on so the next command runs.
    void settle() {
        for (uint8_t lun = 0; lun < gadget::kLuns; ++lun)
            for (int i = 0; i < 3 && !run(lun, {0, 0, 0, 0, 0, 0}).good; ++i) {}
    }
    uint64_t capacity(uint8_t lun) {
        Reply r = run(lun, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        return r.good ? uint64_t(bo::getBE32(r.data.data())) + 1 : 0;
    }
    // A secure layout: login volume, secure area, second public area.
    void makeSecure(const std::string &password) {
        ASSERT_EQ(dev.open(), 0);
        Sector t = withLayout(dev.table(), 2, kArea0, kArea1, kArea2, kArea0, kArea0 + kArea1, digestOf(password));
        ASSERT_TRUE(dev.writeInfoBlock(8, t, std::vector<uint8_t>(8 * 512)));
        ASSERT_TRUE(dev.reset());
    }
    std::vector<uint8_t> inquiry(uint8_t page = 0, bool evpd = false) {
        return run(0, {0x12, uint8_t(evpd), page, 0, 255, 0}).data;
    }
};

int sh(const std::string &cmd) { return std::system(cmd.c_str()); }

std::string readFile(const std::string &path) {
    std::string bytes;
    fileio::readWholeFile(path, &bytes);
    return bytes;
}

} // namespace

TEST(GadgetTarget, InquiryShowsTheDisksIdentityAsARemovableDisk) {
    Rig rig;
    auto std = rig.inquiry();
    ASSERT_EQ(std.size(), 36u);
    EXPECT_EQ(std[0], 0) << "a direct-access disk";
    EXPECT_EQ(std[1], 0x80) << "removable";
    EXPECT_EQ(std::string(std.begin() + 8, std.end()), "MORVAN  FLASH DISK      2.00");
    auto serial = rig.inquiry(0x80, true);
    EXPECT_EQ(std::string(serial.begin() + 4, serial.end()), "0123456789AB");
    EXPECT_EQ(rig.run(0, {0x12, 1, 0x83, 0, 255, 0}).senseText(), "05/24/00");
    EXPECT_EQ(rig.run(0, {0x12, 0, 0, 0, 5, 0}).data.size(), 5u) << "cut to the allocation length";
}

TEST(GadgetTarget, UnitAttentionOnceForPowerOnResetAndEachChangeOfTheView) {
    Rig rig;
    EXPECT_EQ(rig.run(0, {0, 0, 0, 0, 0, 0}).senseText(), "06/29/00");
    EXPECT_TRUE(rig.run(0, {0, 0, 0, 0, 0, 0}).good) << "reported once";
    EXPECT_EQ(rig.capacity(0), 40000u) << "a factory-fresh disk is one volume";
    EXPECT_EQ(rig.run(1, {0x12, 0, 0, 0, 36, 0}).data.size(), 36u) << "INQUIRY does not take the attention";
    EXPECT_EQ(rig.run(1, {0, 0, 0, 0, 0, 0}).senseText(), "06/29/00");
    EXPECT_EQ(rig.run(1, {0, 0, 0, 0, 0, 0}).senseText(), "02/3A/00") << "no second volume";

    rig.makeSecure("open sesame");
    EXPECT_EQ(rig.run(0, {0, 0, 0, 0, 0, 0}).senseText(), "06/28/00") << "the reset changed the view";
    auto sense = rig.run(0, {0x03, 0, 0, 0, 18, 0});
    EXPECT_EQ(sense.data[2], 0x06);
    EXPECT_EQ(sense.data[12], 0x28) << "REQUEST SENSE tells the last failure";
    EXPECT_EQ(rig.capacity(0), kArea0) << "the login volume";
    EXPECT_EQ(rig.run(1, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}).senseText(), "06/28/00") << "per unit";
    EXPECT_EQ(rig.capacity(1), kArea2);

    // The login itself, as a vendor command through a command block.
    Sector rec{};
    auto d = digestOf("open sesame");
    std::memcpy(rec.data() + 16, d.data(), 16);
    Reply login = rig.run(1, rw10(0x2A, cfgtbl::addr::kLogin, 1), std::vector<uint8_t>(rec.begin(), rec.end()));
    EXPECT_TRUE(login.good) << "vendor commands reach the controller from either unit";
    EXPECT_TRUE(rig.run(0, rw10(0x28, cfgtbl::addr::kDeviceInfo, 1)).good) << "a vendor read leaves the news";
    EXPECT_EQ(rig.run(0, {0, 0, 0, 0, 0, 0}).senseText(), "06/28/00");
    EXPECT_EQ(rig.capacity(0), kArea1) << "the secure area";
    EXPECT_TRUE(rig.run(1, {0, 0, 0, 0, 0, 0}).good) << "area 2 did not change";

    rig.target->powerOnReset();
    EXPECT_EQ(rig.run(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}).senseText(), "06/29/00");
}

TEST(GadgetTarget, VendorCommandsReachTheControllerAndItsRefusalIsACheckCondition) {
    Rig rig;
    rig.settle();
    Reply info = rig.run(0, rw10(0x28, cfgtbl::addr::kDeviceInfo, 1));
    ASSERT_TRUE(info.good);
    std::array<uint8_t, 512> expected{};
    ASSERT_TRUE(flashemu::readDeviceInfo(rig.dev.dir.path, &expected));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), info.data.begin()));
    // The write-protect switch: READ(10) at 0x50000000, 3 blocks.
    ASSERT_TRUE(rig.run(0, rw10(0x28, cfgtbl::addr::kWriteProtect, 3)).good);
    EXPECT_EQ(rig.run(0, {0x1A, 0, 0x3F, 0, 192, 0}).senseText(), "06/28/00") << "now read-only";
    EXPECT_EQ(rig.run(0, {0x1A, 0, 0x3F, 0, 192, 0}).data[2], 0x80) << "MODE SENSE write-protect bit";
    EXPECT_EQ(rig.run(0, rw10(0x2A, 0, 1), std::vector<uint8_t>(512)).senseText(), "07/27/00");

    Reply refused = rig.run(0, rw10(0x28, cfgtbl::addr::kDeviceInfo, 2));
    EXPECT_FALSE(refused.good);
    EXPECT_EQ(refused.senseText(), "05/24/00");
    EXPECT_TRUE(refused.data.empty());
}

TEST(GadgetTarget, DataTransfersAreSplitForTheModelAndCheckedAgainstTheVolume) {
    Rig rig;
    rig.settle();
    ASSERT_TRUE(flashemu::setLogging(rig.dev.dir.path, true));
    std::vector<uint8_t> data(300 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 512);
    ASSERT_TRUE(rig.run(0, rw10(0x2A, 1000, 300), data).good);
    std::vector<uint32_t> counts;
    for (const auto &e : flashemu::readLog(rig.dev.dir.path))
        if (e.op == "WriteUnit0") counts.push_back(e.count);
    EXPECT_EQ(counts, (std::vector<uint32_t>{128, 128, 44}));
    Reply back = rig.run(0, rw10(0x28, 1000, 300));
    ASSERT_TRUE(back.good);
    EXPECT_EQ(back.data, data);

    EXPECT_EQ(rig.run(0, rw10(0x28, 39999, 2)).senseText(), "05/21/00");
    EXPECT_EQ(rig.run(0, {0xC5, 0, 0, 0, 0, 0}).senseText(), "05/20/00") << "an unknown operation code";
    rig.dev.setFaults([](flashemu::Faults &f) {
        f.failReadKind = "data";
        f.failReadNth = 2;
    });
    Reply broken = rig.run(0, rw10(0x28, 1000, 300));
    EXPECT_EQ(broken.senseText(), "03/11/00");
    EXPECT_TRUE(broken.sense.infoValid);
    EXPECT_EQ(broken.sense.info, 1128u) << "the first block the device could not read";
    EXPECT_EQ(broken.data.size(), 128u * 512) << "the blocks before it";
}

TEST(GadgetTarget, ACounterfeitsFlashWrapsItsAddressesAndABadSectorFailsItsReads) {
    auto o = Rig::options(40000);
    o.medium.realSectors = 30000;
    o.medium.badSectors = {5000};
    Rig rig(o);
    rig.settle();
    EXPECT_EQ(rig.capacity(0), 40000u) << "the host sees the capacity the disk claims";
    std::vector<uint8_t> data(16 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + i / 512);
    // Sectors 29992..30007: the second half lands on the flash of sectors 0..7.
    ASSERT_TRUE(rig.run(0, rw10(0x2A, 29992, 16), data).good);
    Reply low = rig.run(0, rw10(0x28, 0, 8));
    ASSERT_TRUE(low.good);
    EXPECT_TRUE(std::equal(low.data.begin(), low.data.end(), data.begin() + 8 * 512));

    EXPECT_EQ(rig.run(0, rw10(0x28, 4990, 20)).senseText(), "03/11/00");
    EXPECT_EQ(rig.run(0, rw10(0x28, 35000, 1)).senseText(), "03/11/00") << "an address wrapped onto it";
    EXPECT_TRUE(rig.run(0, rw10(0x28, 4990, 10)).good) << "the sectors before it read";
    EXPECT_TRUE(rig.run(0, rw10(0x2A, 5000, 1), std::vector<uint8_t>(512, 7)).good) << "writes are taken";
}

TEST(GadgetTarget, TheSecondUnitIsArea2InTheLongFormsToo) {
    Rig rig;
    ASSERT_EQ(rig.dev.open(), 0);
    ASSERT_TRUE(rig.dev.writeInfoBlock(8, withLayout(rig.dev.table(), 0, 30000, 0, 10000, 0, 30000),
                                       std::vector<uint8_t>(8 * 512)));
    ASSERT_TRUE(rig.dev.reset());
    rig.settle();
    Reply cap16 = rig.run(1, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0});
    ASSERT_EQ(cap16.data.size(), 32u);
    EXPECT_EQ(bo::getBE32(cap16.data.data() + 4), 9999u);
    EXPECT_EQ(bo::getBE32(cap16.data.data() + 8), 512u);
    std::vector<uint8_t> sector(512, 0xC3);
    ASSERT_TRUE(rig.run(1, rw10(0x2A, 5, 1), sector).good);
    std::vector<uint8_t> onDisk(512);
    ASSERT_TRUE(flashemu::readPhysicalSectors(rig.dev.dir.path, 30005, 1, onDisk.data()));
    EXPECT_EQ(onDisk, sector);
    EXPECT_EQ(rig.run(1, rw10(0x28, 9999, 2)).senseText(), "05/21/00");
    Reply mode10 = rig.run(1, {0x5A, 0, 0x08, 0, 0, 0, 0, 0, 64, 0});
    ASSERT_EQ(mode10.data.size(), 8u + 20u) << "header and caching page";
    EXPECT_EQ(bo::getBE16(mode10.data.data()), mode10.data.size() - 2);
    EXPECT_EQ(mode10.data[3], 0) << "writable";
    EXPECT_EQ(mode10.data[8], 0x08);
}

TEST(GadgetTarget, ALoginFileWrittenThroughTheUnitLogsTheDeviceIn) {
    Rig rig(kArea0 + kArea1 + kArea2);
    rig.makeSecure("open sesame");
    rig.settle();
    const std::string dir = rig.dev.dir.path, img = dir + "/login.vol", rec = dir + "/rec.bin";
    ASSERT_EQ(sh("mkfs.fat -C -F 12 " + img + " " + std::to_string(kArea0 / 2) + " >/dev/null 2>&1"), 0);
    // What the host's file system sends: the sectors it changed, by WRITE(10).
    auto writeChanges = [&](const std::string &before, const std::string &after) {
        for (size_t off = 0; off < after.size(); off += 512) {
            if (before.compare(off, 512, after, off, 512) == 0) continue;
            std::vector<uint8_t> sector(&after[off], &after[off] + 512);
            ASSERT_TRUE(rig.run(0, rw10(0x2A, uint32_t(off / 512), 1), sector).good) << off / 512;
        }
    };
    std::string blank = readFile(img);
    writeChanges(std::string(blank.size(), '\0'), blank);
    Sector file{};
    bo::putLE32(file.data(), 0xA5A5A5A5u);
    auto d = digestOf("open sesame");
    std::memcpy(file.data() + 16, d.data(), 16);
    std::ofstream(rec, std::ios::binary).write(reinterpret_cast<const char *>(file.data()), 512);
    ASSERT_EQ(sh("MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " + rec + " ::LOG.LOG"), 0);
    EXPECT_TRUE(rig.run(0, {0, 0, 0, 0, 0, 0}).good) << "nothing changed yet";
    // Mounted: the host prevents removal, and the medium stays while it does
    // (on a real kernel a switch under the mount failed its last FAT writes).
    ASSERT_TRUE(rig.run(0, {0x1E, 0, 0, 0, 1, 0}).good);
    writeChanges(blank, readFile(img));
    EXPECT_FALSE(flashemu::loggedIn(dir)) << "the file system's writes all land on the login volume";
    EXPECT_TRUE(rig.run(0, {0, 0, 0, 0, 0, 0}).good) << "still the login volume while it is mounted";
    EXPECT_FALSE(flashemu::loggedIn(dir));
    ASSERT_TRUE(rig.run(0, {0x1E, 0, 0, 0, 0, 0}).good) << "unmounted";
    EXPECT_EQ(rig.run(0, {0, 0, 0, 0, 0, 0}).senseText(), "06/28/00") << "the next other command";
    EXPECT_TRUE(flashemu::loggedIn(dir));
    EXPECT_EQ(rig.capacity(0), kArea1);
}

TEST(GadgetTarget, ACdRomLayoutShowsARomOf2048ByteBlocksAndAResetToADiskReenumerates) {
    Rig rig;
    ASSERT_EQ(rig.dev.open(), 0);
    Sector cd = withLayout(rig.dev.table(), 4, 8000, 0, 32000, 0, 8000);
    cd[cfgtbl::kFlags232] |= cfgtbl::kFlagCdrom;
    sealTable(cd.data());
    ASSERT_TRUE(rig.dev.writeInfoBlock(8, cd, std::vector<uint8_t>(8 * 512)));
    ASSERT_TRUE(rig.dev.reset());
    rig.target->powerOnReset(); // plugged in with this layout
    rig.settle();
    EXPECT_EQ(rig.inquiry()[0], 5) << "a CD-ROM";
    Reply cap = rig.run(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(bo::getBE32(cap.data.data()), 1999u) << "8000 sectors as 2000 blocks";
    EXPECT_EQ(bo::getBE32(cap.data.data() + 4), 2048u);
    Reply block = rig.run(0, rw10(0x28, 1, 1));
    ASSERT_EQ(block.data.size(), 2048u);
    std::vector<uint8_t> sectors(2048);
    ASSERT_TRUE(flashemu::readPhysicalSectors(rig.dev.dir.path, 4, 4, sectors.data()));
    EXPECT_EQ(block.data, sectors);
    Reply toc = rig.run(0, {0x43, 0, 0, 0, 0, 0, 0, 0, 100, 0});
    ASSERT_EQ(toc.data.size(), 20u) << "header, track 1, lead-out";
    EXPECT_EQ(bo::getBE32(toc.data.data() + 16), 2000u) << "the lead-out starts after the last block";
    EXPECT_EQ(rig.run(0, rw10(0x2A, 0, 1), std::vector<uint8_t>(2048)).senseText(), "07/27/00");
    EXPECT_EQ(rig.inquiry(0)[0], 5);
    EXPECT_FALSE(rig.target->takeReenumerationNeed());

    // Formatted into a plain disk and reset: only a new enumeration shows a disk.
    Sector disk = withLayout(rig.dev.table(), 0, 40000, 0, 0, 0, 0);
    disk[cfgtbl::kFlags232] &= uint8_t(~cfgtbl::kFlagCdrom);
    ASSERT_TRUE(rig.dev.writeInfoBlock(8, disk, std::vector<uint8_t>(8 * 512)));
    EXPECT_FALSE(rig.target->takeReenumerationNeed());
    ASSERT_TRUE(rig.run(1, rw10(0x2A, cfgtbl::addr::kReset, 1), std::vector<uint8_t>(512)).good);
    EXPECT_TRUE(rig.target->takeReenumerationNeed());
}

namespace {

// The bulk endpoints as a socket pair: each message is one transfer.
struct SocketEndpoints final : gadget::BulkEndpoints {
    int device = -1;
    std::atomic<int> inHalts{0}, outHalts{0};
    std::function<void()> beforeSend, afterReceive;
    ssize_t receive(uint8_t *b, size_t n) override {
        ssize_t r = ::recv(device, b, n, 0);
        if (afterReceive) std::exchange(afterReceive, nullptr)();
        return r < 0 ? -errno : r;
    }
    ssize_t send(const uint8_t *b, size_t n) override {
        if (beforeSend) std::exchange(beforeSend, nullptr)();
        ssize_t r = ::send(device, b, n, MSG_NOSIGNAL);
        return r < 0 ? -errno : r;
    }
    void haltIn() override { ++inHalts; }
    void haltOut() override { ++outHalts; }
    size_t inPacketSize() override { return 512; }
};

struct BotRig {
    Rig rig;
    SocketEndpoints ep;
    int host = -1;
    std::unique_ptr<gadget::BulkOnlyServer> bot;
    std::thread server;

    BotRig() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) throw std::runtime_error("socketpair");
        host = sv[0];
        ep.device = sv[1];
        bot = std::make_unique<gadget::BulkOnlyServer>(ep, *rig.target);
        server = std::thread([this] { bot->serve(); });
    }
    ~BotRig() {
        bot->stop();
        ::shutdown(ep.device, SHUT_RDWR);
        server.join();
        ::close(host);
        ::close(ep.device);
    }
    void cbw(uint32_t tag, uint32_t length, bool in, const std::vector<uint8_t> &cb, uint8_t lun = 0,
             size_t size = gadget::kCbwLength) {
        std::vector<uint8_t> w(size);
        bo::putLE32(w.data(), gadget::kCbwSignature);
        bo::putLE32(w.data() + 4, tag);
        bo::putLE32(w.data() + 8, length);
        w[12] = in ? 0x80 : 0;
        w[13] = lun;
        w[14] = uint8_t(cb.size());
        std::copy(cb.begin(), cb.end(), w.begin() + 15);
        ASSERT_EQ(::send(host, w.data(), w.size(), 0), ssize_t(w.size()));
    }
    std::vector<uint8_t> take() {
        std::vector<uint8_t> b(70000);
        ssize_t n = ::recv(host, b.data(), b.size(), 0);
        b.resize(n < 0 ? 0 : size_t(n));
        return b;
    }
    // tag, residue, status of the status wrapper that must come next.
    std::array<uint32_t, 3> csw() {
        auto b = take();
        EXPECT_EQ(b.size(), gadget::kCswLength);
        if (b.size() != gadget::kCswLength || bo::getLE32(b.data()) != gadget::kCswSignature) return {0, 0, 99};
        return {bo::getLE32(b.data() + 4), bo::getLE32(b.data() + 8), b[12]};
    }
};

bool eventually(const std::function<bool()> &done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

} // namespace

TEST(GadgetBulkOnly, StatusResidueAndStallFollowWhatHostAndDeviceMeantToMove) {
    BotRig b;
    b.cbw(1, 0, false, {0, 0, 0, 0, 0, 0}); // TEST UNIT READY: the power-on attention
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{1, 0, 1}));
    b.cbw(2, 18, true, {0x03, 0, 0, 0, 18, 0});
    auto sense = b.take();
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[12], 0x29);
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{2, 0, 0}));

    // The host asks for more than a one-block read sends: residue, and a stall
    // since the data ended on a packet boundary.
    b.cbw(3, 1024, true, rw10(0x28, 0, 1));
    EXPECT_EQ(b.take().size(), 512u);
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{3, 512, 0}));
    EXPECT_EQ(b.ep.inHalts, 1);
    // A write whose data the host sends in full.
    std::vector<uint8_t> sector(512, 0x5A);
    b.cbw(4, 512, false, rw10(0x2A, 7, 1));
    ASSERT_EQ(::send(b.host, sector.data(), sector.size(), 0), 512);
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{4, 0, 0}));
    EXPECT_EQ(b.rig.run(0, rw10(0x28, 7, 1)).data, sector);
    // The host sends data where the device means to send: phase error.
    b.cbw(5, 36, false, {0x12, 0, 0, 0, 36, 0});
    ASSERT_EQ(::send(b.host, sector.data(), 36, 0), 36);
    EXPECT_EQ(b.csw()[2], 2u);
    // A failed command with data expected: nothing sent, all of it the residue.
    b.cbw(6, 1024, true, rw10(0x28, 39999, 2));
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{6, 1024, 1}));
}

TEST(GadgetBulkOnly, AnInvalidWrapperStallsBothPipesUntilAReset) {
    BotRig b;
    b.cbw(1, 0, false, {0, 0, 0, 0, 0, 0}, 0, 30);
    ASSERT_TRUE(eventually([&] { return b.ep.inHalts == 1 && b.ep.outHalts == 1; }));
    b.bot->reset();
    b.cbw(2, 0, false, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{2, 0, 1})) << "served again, with the reset's attention";
    b.cbw(3, 0, false, {0, 0, 0, 0, 0, 0}, 2); // a unit the device does not have
    ASSERT_TRUE(eventually([&] { return b.ep.inHalts == 2 && b.ep.outHalts == 2; }));
}

TEST(GadgetFunctionFs, DescriptorCountsMatchTheDescriptorsOfEachSpeed) {
    auto d = gadget::functionDescriptors();
    ASSERT_EQ(bo::getLE32(d.data() + 4), d.size());
    size_t at = 24;
    for (uint32_t i = 0; i < 3; ++i) {
        uint32_t count = bo::getLE32(d.data() + 12 + 4 * i);
        ASSERT_LT(at + 1, d.size());
        EXPECT_EQ(d[at + 1], 4) << "speed " << i << " starts with its interface";
        for (uint32_t k = 0; k < count; ++k) {
            ASSERT_LT(at, d.size());
            at += d[at];
        }
    }
    EXPECT_EQ(at, d.size()) << "each speed holds exactly the descriptors it counts";
}

TEST(GadgetBulkOnly, NothingOfACommandCutByAResetReachesTheHostAfterIt) {
    BotRig b;
    b.cbw(1, 0, false, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{1, 0, 1}));
    // The host unplugs or resets the device while the data of a read goes out.
    b.ep.beforeSend = [&] { b.bot->reset(); };
    b.cbw(2, 1024, true, rw10(0x28, 0, 2));
    EXPECT_EQ(b.take().size(), 1024u);
    b.cbw(3, 0, false, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{3, 0, 1})) << "the cut read's status never follows";
    // A command block that came in just before the unplug is not served.
    b.ep.afterReceive = [&] { b.bot->reset(); };
    b.cbw(4, 0, false, {0, 0, 0, 0, 0, 0});
    b.cbw(5, 0, false, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(b.csw(), (std::array<uint32_t, 3>{5, 0, 1}));
}
