// The seam between the Windows pass-through and the system: the physical drive
// devices, their storage descriptors, the SCSI pass-through exchange and the
// volumes behind drive letters. The real implementation calls the Win32 API;
// tests put a fake device behind the same calls. Nothing here needs windows.h,
// so the back end and its tests build on every platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "DiskSystem.h"
#include "SystemOps.h"

namespace passthrough::win {

// Win32 error codes the back end tells apart.
constexpr uint32_t kErrorFileNotFound = 2;      // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrorPathNotFound = 3;      // ERROR_PATH_NOT_FOUND
constexpr uint32_t kErrorAccessDenied = 5;      // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorSharingViolation = 32; // ERROR_SHARING_VIOLATION: another program holds it
constexpr uint32_t kErrorSemTimeout = 121;      // ERROR_SEM_TIMEOUT: the command timed out
constexpr uint32_t kErrorTimeout = 1460;        // ERROR_TIMEOUT

// STORAGE_BUS_TYPE's value for USB.
constexpr uint32_t kBusTypeUsb = 7;

using passthrough::Handle;
using passthrough::kNoHandle;

// Where a disk sits on its adapter (IOCTL_SCSI_GET_ADDRESS): the logical units
// of one device share all but the unit number.
struct ScsiAddress {
    uint32_t port = 0, path = 0, target = 0, lun = 0;
};

// What IOCTL_STORAGE_QUERY_PROPERTY (StorageDeviceProperty) tells of a disk,
// identity texts with trailing blanks removed.
struct StorageDescriptor {
    std::string vendor, product, revision;
    uint32_t busType = 0;
    bool removableMedia = false;
};

class WinSystemOps {
public:
    virtual ~WinSystemOps() = default;

    // Opens \\.\PhysicalDriveN or \\.\X:; readWrite false opens for queries only
    // (no access rights needed). A drive opened for read/write is shared with
    // readers only, so a second writer fails with kErrorSharingViolation. A
    // handle, or kNoHandle with the Win32 error.
    virtual Handle open(const std::string &path, bool readWrite, uint32_t *error) = 0;
    virtual void close(Handle h) = 0;
    // 0, or the Win32 error.
    virtual uint32_t queryDescriptor(Handle h, StorageDescriptor *out) = 0;
    // One SCSI_PASS_THROUGH_DIRECT exchange; fills status, sense, senseLength and
    // residual of x. 0, or the Win32 error of DeviceIoControl.
    virtual uint32_t passThrough(Handle h, SgExchange &x) = 0;
    virtual std::optional<ScsiAddress> scsiAddress(Handle h) = 0;
    // IOCTL_STORAGE_GET_DEVICE_NUMBER: the number of the physical drive the
    // device (a disk or a volume) lies on.
    virtual std::optional<uint32_t> deviceNumber(Handle h) = 0;
    // FSCTL_LOCK_VOLUME then FSCTL_DISMOUNT_VOLUME; 0, or the Win32 error.
    virtual uint32_t lockAndDismount(Handle h) = 0;
    // GetLogicalDrives: bit 0 for A:.
    virtual uint32_t logicalDrives() = 0;
};

// The running system (Windows builds only).
WinSystemOps &windowsSystem();

} // namespace passthrough::win
