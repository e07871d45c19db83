// The Linux side of the pass-through: disks from sysfs, one per SCSI target
// with its logical units; commands through SG_IO on the first unit's generic
// node; volumes from the mount table, taken down through udisks or umount.
#pragma once

#include <string>
#include <vector>

#include "DiskSystem.h"
#include "SystemOps.h"

namespace passthrough {

class LinuxDisks final : public DiskSystem {
public:
    explicit LinuxDisks(SystemOps &os, std::string sysRoot = "/sys", std::string procRoot = "/proc");

    std::vector<DiskEntry> listDisks() override;
    std::string canonicalNode(const std::string &name) override;
    OpenStatus open(const DiskEntry &disk, Handle *handle, std::string *why) override;
    void close(Handle handle) override;
    Result exchange(Handle handle, SgExchange &x, std::string *note) override;
    std::vector<MountedVolume> mountedVolumes(const DiskEntry &disk) override;
    bool unmount(const MountedVolume &volume, std::string *message) override;
    bool refresh(const DiskEntry &disk) override;
    uint32_t driveMask(const DiskEntry &disk) override;
    std::vector<std::string> holders(const std::string &nodeOrMountPoint) override;

private:
    // The block devices of every unit and their partitions, as folders under
    // /sys/block: "sdb", "sdb/sdb1", "sdc".
    std::vector<std::string> blockDevices(const DiskEntry &disk);

    SystemOps &os_;
    std::string sys_, proc_;
};

} // namespace passthrough
