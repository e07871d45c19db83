// The seam between the Linux pass-through and the operating system: device
// nodes, the SG_IO exchange, sysfs and procfs, and the unmount helpers. The real
// implementation talks to Linux; tests put a fake machine behind the same calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace passthrough {

// One SCSI command exchange, as SG_IO carries it.
struct SgExchange {
    enum class Direction { None, FromDevice, ToDevice };

    const uint8_t *cdb = nullptr;
    uint8_t cdbLength = 0;
    Direction direction = Direction::None;
    void *data = nullptr;
    uint32_t length = 0;
    uint32_t timeoutMs = 0;

    // Filled by the exchange.
    uint8_t status = 0;        // SCSI status byte (0 GOOD, 2 CHECK CONDITION)
    uint16_t hostStatus = 0;   // adapter/driver outcome (0 OK, 3 timed out, ...)
    uint16_t driverStatus = 0; // 0x08: sense data valid
    int32_t residual = 0;      // bytes not transferred
    uint8_t sense[32] = {};
    uint8_t senseLength = 0;
};

class SystemOps {
public:
    virtual ~SystemOps() = default;

    // Opens a device node for the exchange, for this process alone (another
    // holder makes it fail with -EBUSY); a descriptor, or -errno.
    virtual int openDevice(const std::string &path) = 0;
    virtual void closeDevice(int fd) = 0;
    // Carries out one exchange; 0, or -errno when the ioctl itself failed.
    virtual int exchange(int fd, SgExchange &x) = 0;

    // sysfs and procfs: the text of a file, the names in a folder (sorted), the
    // real path behind a link.
    virtual std::optional<std::string> readText(const std::string &path) = 0;
    virtual std::vector<std::string> listDirectory(const std::string &path) = 0;
    virtual std::optional<std::string> realPath(const std::string &path) = 0;
    virtual bool exists(const std::string &path) = 0;
    // "major:minor" of the file system that holds path (of what a /proc link
    // points to, for a link there).
    virtual std::optional<std::string> deviceOf(const std::string &path) = 0;

    // Runs a helper program (umount, udisksctl); its exit status, or -1, and
    // in *output what it wrote to its standard output and error.
    virtual int runProgram(const std::vector<std::string> &argv, std::string *output) = 0;
    // Whether the udisks daemon is there to ask for unmounts.
    virtual bool udisksRunning() = 0;
    // Writes text into a file that exists (a sysfs switch); 0, or -errno.
    virtual int writeText(const std::string &path, const std::string &text) = 0;
    // Asks the kernel to read a disk's partition table again (BLKRRPART); 0, or
    // -errno (-EBUSY while one of its partitions is in use).
    virtual int rereadPartitions(const std::string &diskNode) = 0;
};

// The operating system itself.
SystemOps &linuxSystem();

} // namespace passthrough
