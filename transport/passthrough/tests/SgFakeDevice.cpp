// The device of the test build "SCSI.dll through the pass-through": the emulated
// flash disk named by FLASHDISK_EMULATOR sits behind a fake SG_IO device, and
// every command of the library travels through the pass-through back end to it.
// The library's own test suite runs against this build as against the emulator.
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "Backend.h"
#include "DiskFiles.h"
#include "EmulatorBackend.h"
#include "FakeSystem.h"
#include "FlashEmulator.h"
#include "LinuxDisks.h"
#include "PassthroughBackend.h"
#include "ScsiTransport.h"

namespace {

class EmulatorBehindPassthrough final : public scsi::Backend {
public:
    explicit EmulatorBehindPassthrough(std::string dir) : dir_(std::move(dir)) {}

    int32_t open(const void *params) override {
        passthrough_.reset();
        emulator_ = flashemu::makeEmulatorBackend(dir_);
        int32_t r = emulator_->open(params);
        if (r < 0) return r; // no device on the bus
        os_ = std::make_unique<fakesys::FakeSystem>();
        flashemu::DiskState state;
        flashemu::loadState(dir_, &state);
        auto &dev = os_->addDisk("4:0:0:0", state.vendor, state.product, state.revision, "sdz", "sg9", true, true);
        dev.forward = emulator_.get();
        dev.forwardAsCalls = true;
        if (r == SCSI_INIT_RAW_REFUSED) dev.openErrno = EACCES;
        mountForReplay();
        disks_ = std::make_unique<passthrough::LinuxDisks>(*os_);
        passthrough::Options o = passthrough::machineOptions();
        // The device keeps its identification blank-padded, as INQUIRY sends it.
        o.known = {{passthrough::trimTrailingBlanks(state.vendor), passthrough::trimTrailingBlanks(state.product),
                    passthrough::trimTrailingBlanks(state.revision)}};
        passthrough_ = std::make_unique<passthrough::PassthroughBackend>(*disks_, o);
        return passthrough_->open(params);
    }
    int32_t close() override {
        if (passthrough_) passthrough_->close();
        return emulator_ ? emulator_->close() : 1;
    }
    int32_t readDisk(uint32_t a, uint32_t c, void *b) override {
        return passthrough_ ? passthrough_->readDisk(a, c, b) : 0;
    }
    int32_t writeDisk(uint32_t a, uint32_t c, const void *d) override {
        return passthrough_ ? passthrough_->writeDisk(a, c, d) : 0;
    }
    int32_t readScsi(const uint8_t *cdb, void *b, uint32_t l) override {
        return passthrough_ ? passthrough_->readScsi(cdb, b, l) : 0;
    }
    int32_t writeScsi(const uint8_t *cdb, const void *d, uint32_t l) override {
        return passthrough_ ? passthrough_->writeScsi(cdb, d, l) : 0;
    }
    // Volumes and dismount are the host's side of the device: the emulator
    // publishes them through its drive map.
    int32_t getDiskVolume(uint32_t v) override { return emulator_ ? emulator_->getDiskVolume(v) : 0; }
    int32_t disMountDisk() override { return emulator_ ? emulator_->disMountDisk() : 0; }

private:
    // QUENDAL_FAKE_MOUNT=DIR shows the disk's first volume mounted at DIR, so a
    // replay sees what a format does about it; DIR!busy makes umount refuse, as
    // for a volume a shell has its working folder on.
    void mountForReplay() {
        const char *spec = std::getenv("QUENDAL_FAKE_MOUNT");
        if (!spec || !*spec) return;
        std::string point = spec;
        const bool busy = point.size() > 5 && point.compare(point.size() - 5, 5, "!busy") == 0;
        if (busy) point.resize(point.size() - 5);
        os_->dirs["/sys/block/sdz"] = {"sdz1"};
        os_->files["/sys/block/sdz/sdz1/dev"] = "8:241\n";
        os_->files["/proc/self/mountinfo"] = "40 22 8:241 / " + point + " rw - vfat /dev/sdz1 rw\n";
        if (!busy) return;
        os_->programResult = 32;
        os_->programOutput = "umount: " + point + ": target is busy.\n";
        os_->dirs["/proc"] = {"3120"};
        os_->files["/proc/3120/comm"] = "bash\n";
        os_->fileDevices["/proc/3120/cwd"] = "8:241";
        os_->fileDevices[point] = "8:241";
    }

    std::string dir_;
    std::unique_ptr<scsi::Backend> emulator_;
    std::unique_ptr<fakesys::FakeSystem> os_;
    std::unique_ptr<passthrough::LinuxDisks> disks_;
    std::unique_ptr<passthrough::PassthroughBackend> passthrough_;
};

} // namespace

namespace scsi {
std::unique_ptr<Backend> makeTestDeviceBackend() {
    const char *dir = std::getenv(flashemu::kDiskEnv);
    if (!dir || !*dir) return nullptr;
    return std::make_unique<EmulatorBehindPassthrough>(dir);
}
} // namespace scsi
