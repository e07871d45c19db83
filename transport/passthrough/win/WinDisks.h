// The Windows side of the pass-through: the disks are \\.\PhysicalDrive0..N,
// told apart by their storage descriptor and grouped into devices by their SCSI
// address; commands go through IOCTL_SCSI_PASS_THROUGH_DIRECT; a volume is taken
// off the disk by locking and dismounting it, and the lock is kept while the
// disk is open so that nothing mounts it again behind the format's back.
#pragma once

#include <string>
#include <vector>

#include "DiskSystem.h"
#include "WinSystemOps.h"

namespace passthrough::win {

std::string physicalDrivePath(uint32_t number);
std::string volumePath(char letter);

// The transport's outcome first (a failed DeviceIoControl, with its Win32 error),
// then the device's status and sense as on Linux.
Result classifyWin(uint32_t ioctlError, const SgExchange &x);

class WinDisks final : public DiskSystem {
public:
    explicit WinDisks(WinSystemOps &os, uint32_t maxDrives = 32);
    ~WinDisks() override;

    std::vector<DiskEntry> listDisks() override;
    std::string canonicalNode(const std::string &name) override;
    OpenStatus open(const DiskEntry &disk, Handle *handle, std::string *why) override;
    void close(Handle handle) override;
    Result exchange(Handle handle, SgExchange &x, std::string *note) override;
    std::vector<MountedVolume> mountedVolumes(const DiskEntry &disk) override;
    bool unmount(const MountedVolume &volume, std::string *message) override;
    void releaseVolumes() override;
    uint32_t driveMask(const DiskEntry &disk) override;
    // Windows does not say who holds a disk or a volume.
    std::vector<std::string> holders(const std::string &) override { return {}; }

private:
    WinSystemOps &os_;
    uint32_t maxDrives_;
    std::vector<Handle> lockedVolumes_;
};

} // namespace passthrough::win
