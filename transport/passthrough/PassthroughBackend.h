// SCSI.dll's back end for real flash disks, the same on every system: which disk
// is taken, how each command is sent, retried and judged, and what must happen
// before the first write that changes the disk's layout. The system beneath it
// (DiskSystem) only lists disks, exchanges one command and unmounts volumes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Backend.h"
#include "DeviceFinder.h"
#include "DiskSystem.h"
#include "Outcome.h"

namespace passthrough {

// Environment variable that turns the command log on: "stderr", or a file path
// the lines are appended to.
constexpr const char kLogEnv[] = "QUENDAL_SCSI_LOG";
// Environment variable naming another list of known controllers.
constexpr const char kKnownEnv[] = "QUENDAL_KNOWN_CONTROLLERS";
// Environment variable naming the one disk to use, by any of its nodes
// ("/dev/sg2", "/dev/sdb", a /dev/disk/by-id link, "\\.\PhysicalDrive3"):
// how a program's --device choice reaches the transport it loads.
constexpr const char kDeviceEnv[] = "QUENDAL_DEVICE";
// The list's file name beside SCSI.dll.
constexpr const char kKnownFile[] = "known-controllers.txt";

struct Options {
    std::vector<KnownController> known;
    std::string device;                           // kDeviceEnv; empty: any candidate
    std::function<void(const std::string &)> log; // empty: no log
    uint32_t dataTimeoutMs = 30'000;
    uint32_t vendorTimeoutMs = 60'000; // the controller erases flash for some
};

// Options from the environment, with the known list beside the library in
// libraryDirectory unless the environment names another.
Options optionsFromEnvironment(const std::string &libraryDirectory);

// How one candidate fared when it was looked at.
struct Candidate {
    enum class State {
        Ready,   // opened, and it answered as a flash disk of ours does
        Busy,    // another program holds it
        Refused, // this process may not send it raw commands
        Silent,  // it did not open, or did not answer as ours does: no candidate
    };
    DiskEntry disk;
    State state = State::Ready;
    std::string detail; // who holds it, or what the system said
};

class PassthroughBackend final : public scsi::Backend {
public:
    PassthroughBackend(DiskSystem &system, Options options);
    ~PassthroughBackend() override;

    // The disks that may be taken at all: USB disks of a known controller whose
    // identification matches the wanted texts and, when options name a device,
    // that device. Whatever the parameter block says, a disk that is not USB or
    // not of a known controller is never among them. *why tells, when the
    // options name a device, why it is not.
    std::vector<DiskEntry> eligible(const Wanted &wanted, std::string *why = nullptr);
    // Every eligible disk looked at in turn (opened, asked, closed again); the
    // ones that do not answer as ours are left out.
    std::vector<Candidate> survey(const Wanted &wanted = {});

    // Takes the first candidate that is ready and keeps it open until close().
    int32_t open(const void *params) override;
    int32_t close() override;
    int32_t readDisk(uint32_t address, uint32_t count, void *buffer) override;
    int32_t writeDisk(uint32_t address, uint32_t count, const void *data) override;
    int32_t readScsi(const uint8_t *cdb12, void *buffer, uint32_t length) override;
    int32_t writeScsi(const uint8_t *cdb12, const void *data, uint32_t length) override;
    // The drive letters (bit 0 for A:) whose volumes lie on the open disk.
    int32_t getDiskVolume(uint32_t value) override;
    // Unmounts every mounted volume of the disk; 1 when none is left mounted.
    int32_t disMountDisk() override;

    // For diagnostics and tests.
    bool isOpen() const { return handle_ != kNoHandle; }
    const DiskEntry &device() const { return disk_; }
    const Result &lastResult() const { return last_; }
    // The volumes that stayed mounted at the last attempt, each with what the
    // system said and who holds it.
    const std::vector<std::string> &unmountFailures() const { return unmountFailures_; }

private:
    // Opens and asks one eligible disk; keeps it open when ready and keep is set.
    Candidate probe(const DiskEntry &disk, const Wanted &wanted, bool keep);
    void drop();
    bool send(const uint8_t *cdb, uint8_t cdbLength, SgExchange::Direction dir, void *data, uint32_t length,
              uint32_t timeoutMs);
    bool sectorCommand(uint8_t opcode, uint32_t address, void *data);
    bool inquiry(Identity *id);
    // Before a write at address: the whole-disk table and the first write of
    // sectors go out only with no volume of the disk mounted.
    bool readyToWrite(uint32_t address);
    bool takeVolumesDown();
    // A write, and after one that changed the medium the system told so.
    bool mediaCommand(const uint8_t *cdb, uint8_t cdbLength, void *data, uint32_t length, uint32_t timeoutMs);
    // Makes the system's own disk driver read the units again (new size, new
    // partition table), as the device's unit attention would have.
    void tellSystem();
    void log(const std::string &line) const;

    DiskSystem &sys_;
    Options options_;
    Handle handle_ = kNoHandle;
    DiskEntry disk_;
    Result last_;
    bool volumesDown_ = false;
    bool wholeDiskSent_ = false; // a format is under way: the disk is replugged after it
    std::vector<std::string> unmountFailures_;
};

// Unmounts every mounted volume of a disk; the volumes that stay mounted, each
// described as "VOLUME (MOUNT POINT): what the system said; held by ...".
std::vector<std::string> unmountVolumes(DiskSystem &system, const DiskEntry &disk,
                                        const std::function<void(const std::string &)> &log = {});
// The same for a program that wants to know before it starts a format, outside
// the transport: what the system holds for it (Windows' volume locks) is let
// go again, as the transport takes its own before it writes.
std::vector<std::string> unmountBeforeFormat(DiskSystem &system, const DiskEntry &disk);

// The machine's own disks and options (the system the program runs on).
DiskSystem &machineDisks();
Options machineOptions();

} // namespace passthrough
