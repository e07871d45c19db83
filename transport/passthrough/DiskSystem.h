// What each operating system supplies to the pass-through: the disks it can
// see, one command exchanged with a disk, and the disk's mounted volumes.
// Everything else (which disk is taken, how a command is sent and retried, the
// guards before a write) is the core's and the same on every system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceFinder.h"
#include "Outcome.h"
#include "SystemOps.h"

namespace passthrough {

using Handle = intptr_t;
constexpr Handle kNoHandle = -1;

// One device as the system lists it. A USB flash disk is one device (one SCSI
// target) with up to two logical units, one per volume it presents; commands
// go to the first unit, and the volumes of every unit are the disk's.
struct DiskEntry {
    std::string node;               // where commands go: "/dev/sg2", "\\.\PhysicalDrive3"
    std::vector<std::string> names; // every node that names the device, of either unit
    std::vector<std::string> units; // the system's name of each unit's disk: "sdb", "3"
    Identity identity;              // as the system read it when the device arrived
    bool usb = false;
    uint64_t sectors = 0; // of the first unit as the system sees it; 0 unknown
};

// A mounted volume of a disk.
struct MountedVolume {
    std::string device;     // "/dev/sdb1", "E:"
    std::string mountPoint; // "/media/u/PUBLIC", "E:\"
};

enum class OpenStatus {
    Opened,
    Refused, // this process may not send raw commands to it
    Busy,    // another program holds it
    Failed,
};

class DiskSystem {
public:
    virtual ~DiskSystem() = default;

    // The disk-like SCSI devices of the machine, in address order.
    virtual std::vector<DiskEntry> listDisks() = 0;
    // The plain name of a node the user typed (links resolved, case made
    // regular), to compare with DiskEntry::names.
    virtual std::string canonicalNode(const std::string &name) = 0;

    // Opens the disk for this process alone: while the handle is held, no other
    // program can open it to send commands. *why: the system's words on failure.
    virtual OpenStatus open(const DiskEntry &disk, Handle *handle, std::string *why) = 0;
    virtual void close(Handle handle) = 0;
    // One command; its outcome, and in *note what the system said besides.
    virtual Result exchange(Handle handle, SgExchange &x, std::string *note) = 0;

    virtual std::vector<MountedVolume> mountedVolumes(const DiskEntry &disk) = 0;
    // Takes a volume off the disk so that nothing writes to it behind our back;
    // false with what the system (umount, the volume lock) said.
    virtual bool unmount(const MountedVolume &volume, std::string *message) = 0;
    // Gives up what unmount kept hold of (Windows keeps its volume locks).
    virtual void releaseVolumes() {}
    // Makes the system's disk driver read every unit of the disk again (size,
    // partition table), after the device began to show another medium; false
    // when the system would not (not allowed, or a volume still in use).
    virtual bool refresh(const DiskEntry &disk) { return (void)disk, false; }
    // The drive letters (bit 0 for A:) whose volumes lie on the disk.
    virtual uint32_t driveMask(const DiskEntry &disk) = 0;
    // The programs that hold a node or a mounted volume open, as far as the
    // system tells ("bash (pid 4242)"); empty when it cannot tell.
    virtual std::vector<std::string> holders(const std::string &nodeOrMountPoint) = 0;
};

} // namespace passthrough
