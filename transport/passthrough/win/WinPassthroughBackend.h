// SCSI.dll's back end for real flash disks on Windows: the device is found among
// \\.\PhysicalDrive0..N by its storage descriptor and every command goes to it
// through IOCTL_SCSI_PASS_THROUGH_DIRECT. The choice of disk follows the Linux
// back end's rules (DeviceFinder).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Backend.h"
#include "DeviceFinder.h"
#include "Outcome.h"
#include "WinSystemOps.h"

namespace passthrough::win {

struct Options {
    std::vector<KnownController> known;
    std::function<void(const std::string &)> log; // empty: no log
    uint32_t dataTimeoutMs = 30'000;
    uint32_t vendorTimeoutMs = 60'000; // the controller erases flash for some
    uint32_t maxDrives = 32;           // PhysicalDrive0 .. maxDrives-1
};

// Options for the running system: the known list beside SCSI.dll (or named by
// QUENDAL_KNOWN_CONTROLLERS) and the QUENDAL_SCSI_LOG switch.
Options optionsFromEnvironment();

std::string physicalDrivePath(uint32_t number);
std::string volumePath(char letter);

// The transport's outcome first (a failed DeviceIoControl, with its Win32 error),
// then the device's status and sense as on Linux.
Result classifyWin(uint32_t ioctlError, const SgExchange &x);

class WinPassthroughBackend final : public scsi::Backend {
public:
    WinPassthroughBackend(WinSystemOps &os, Options options);
    ~WinPassthroughBackend() override;

    int32_t open(const void *params) override;
    int32_t close() override;
    int32_t readDisk(uint32_t address, uint32_t count, void *buffer) override;
    int32_t writeDisk(uint32_t address, uint32_t count, const void *data) override;
    int32_t readScsi(const uint8_t *cdb12, void *buffer, uint32_t length) override;
    int32_t writeScsi(const uint8_t *cdb12, const void *data, uint32_t length) override;
    // The drive letters (bit 0 for A:) whose volumes lie on the open disk.
    int32_t getDiskVolume(uint32_t value) override;
    // Locks and dismounts every volume on the open disk; 1 when all went.
    int32_t disMountDisk() override;

    uint32_t driveNumber() const { return number_; }
    const Identity &identity() const { return identity_; }
    const Result &lastResult() const { return last_; }
    const std::string &unmountFailures() const { return unmountFailures_; }

private:
    bool send(const uint8_t *cdb, uint8_t cdbLength, SgExchange::Direction dir, void *data, uint32_t length,
              uint32_t timeoutMs);
    bool sectorCommand(uint8_t opcode, uint32_t address, void *data);
    bool inquiry(Handle h, const std::string &path, Identity *id);
    void log(const std::string &line) const;

    WinSystemOps &os_;
    Options options_;
    Handle handle_ = kNoHandle;
    uint32_t number_ = 0;
    Identity identity_;
    Result last_;
    std::string unmountFailures_; // the letters that stayed mounted
};

} // namespace passthrough::win
