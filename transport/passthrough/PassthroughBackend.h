// SCSI.dll's back end for real flash disks on Linux: the device is found among
// the machine's SCSI disks and every command goes to it with SG_IO.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Backend.h"
#include "DeviceFinder.h"
#include "Outcome.h"
#include "SystemOps.h"

namespace passthrough {

// Environment variable that turns the command log on: "stderr", or a file path
// the lines are appended to.
constexpr const char kLogEnv[] = "QUENDAL_SCSI_LOG";
// Environment variable naming another list of known controllers.
constexpr const char kKnownEnv[] = "QUENDAL_KNOWN_CONTROLLERS";
// The list's file name beside SCSI.dll.
constexpr const char kKnownFile[] = "known-controllers.txt";

struct Options {
    std::string sysRoot = "/sys";
    std::string procMountInfo = "/proc/self/mountinfo";
    std::vector<KnownController> known;
    std::function<void(const std::string &)> log; // empty: no log
    uint32_t dataTimeoutMs = 30'000;
    uint32_t vendorTimeoutMs = 60'000; // the controller erases flash for some
};

// Options for the real machine: the known list beside the library (or named by
// the environment) and the log switch.
Options optionsFromEnvironment();

class PassthroughBackend final : public scsi::Backend {
public:
    PassthroughBackend(SystemOps &os, Options options);
    ~PassthroughBackend() override;

    int32_t open(const void *params) override;
    int32_t close() override;
    int32_t readDisk(uint32_t address, uint32_t count, void *buffer) override;
    int32_t writeDisk(uint32_t address, uint32_t count, const void *data) override;
    int32_t readScsi(const uint8_t *cdb12, void *buffer, uint32_t length) override;
    int32_t writeScsi(const uint8_t *cdb12, const void *data, uint32_t length) override;
    // The drive letters (bit 0 for A:) whose volumes lie on the open device.
    int32_t getDiskVolume(uint32_t value) override;
    // Unmounts every mounted volume of the device; 1 when none is left mounted.
    int32_t disMountDisk() override;

    // For diagnostics and tests.
    const ScsiDisk &device() const { return disk_; }
    const Result &lastResult() const { return last_; }
    const std::vector<std::string> &unmountFailures() const { return unmountFailures_; }

private:
    bool send(const uint8_t *cdb, uint8_t cdbLength, SgExchange::Direction dir, void *data, uint32_t length,
              uint32_t timeoutMs);
    bool sectorCommand(uint8_t opcode, uint32_t address, void *data);
    bool inquiry(int fd, const std::string &node, Identity *id);
    void log(const std::string &line) const;
    std::vector<std::string> deviceNumbers() const;

    SystemOps &os_;
    Options options_;
    int fd_ = -1;
    ScsiDisk disk_;
    Result last_;
    std::vector<std::string> unmountFailures_;
};

} // namespace passthrough
