// The Win32 side of the Windows pass-through: CreateFileA on the physical drive
// and volume devices, and the DeviceIoControl codes the back end needs.
#include "WinSystemOps.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Backend.h"
#include "DeviceFinder.h"
#include "PassthroughBackend.h"
#include "WinDisks.h"

namespace passthrough::win {
namespace {

HANDLE toHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }

// SCSI_PASS_THROUGH_DIRECT with its sense buffer behind it, as the port driver
// expects: SenseInfoOffset counts from the start of the structure.
struct PassThroughWithSense {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler; // keeps the sense buffer aligned
    UCHAR sense[32];
};

std::string descriptorText(const std::vector<uint8_t> &buf, DWORD offset) {
    if (offset == 0 || offset >= buf.size()) return {};
    const char *p = reinterpret_cast<const char *>(buf.data() + offset);
    size_t n = strnlen(p, buf.size() - offset);
    std::string s(p, n);
    // Some bridges lead with blanks as well.
    size_t first = s.find_first_not_of(' ');
    return trimTrailingBlanks(first == std::string::npos ? std::string() : s.substr(first));
}

class RealWinSystem final : public WinSystemOps {
public:
    Handle open(const std::string &path, bool readWrite, uint32_t *error) override {
        // A disk we write to is shared with readers only: a second writer (the
        // same program started twice) is refused with a sharing violation. A
        // volume is opened shared, as locking it requires.
        const bool disk = path.find("PhysicalDrive") != std::string::npos;
        const DWORD share = readWrite && disk ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
        HANDLE h = CreateFileA(path.c_str(), readWrite ? GENERIC_READ | GENERIC_WRITE : 0, share, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *error = GetLastError();
            return kNoHandle;
        }
        *error = 0;
        return reinterpret_cast<Handle>(h);
    }

    void close(Handle h) override { CloseHandle(toHandle(h)); }

    uint32_t queryDescriptor(Handle h, StorageDescriptor *out) override {
        STORAGE_PROPERTY_QUERY query{};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        std::vector<uint8_t> buf(1024);
        DWORD got = 0;
        if (!DeviceIoControl(toHandle(h), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buf.data(),
                             DWORD(buf.size()), &got, nullptr))
            return GetLastError();
        if (got < sizeof(STORAGE_DEVICE_DESCRIPTOR)) return ERROR_INVALID_DATA;
        buf.resize(got);
        STORAGE_DEVICE_DESCRIPTOR d;
        std::memcpy(&d, buf.data(), sizeof d);
        out->vendor = descriptorText(buf, d.VendorIdOffset);
        out->product = descriptorText(buf, d.ProductIdOffset);
        out->revision = descriptorText(buf, d.ProductRevisionOffset);
        out->busType = uint32_t(d.BusType);
        out->removableMedia = d.RemovableMedia != 0;
        return 0;
    }

    uint32_t passThrough(Handle h, SgExchange &x) override {
        PassThroughWithSense p{};
        p.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        p.sptd.CdbLength = UCHAR(std::min<uint8_t>(x.cdbLength, 16));
        std::memcpy(p.sptd.Cdb, x.cdb, p.sptd.CdbLength);
        p.sptd.DataIn = x.direction == SgExchange::Direction::FromDevice ? SCSI_IOCTL_DATA_IN
                        : x.direction == SgExchange::Direction::ToDevice ? SCSI_IOCTL_DATA_OUT
                                                                         : SCSI_IOCTL_DATA_UNSPECIFIED;
        p.sptd.DataTransferLength = x.length;
        p.sptd.DataBuffer = x.data;
        // The port driver counts in seconds.
        p.sptd.TimeOutValue = std::max<ULONG>(1, (x.timeoutMs + 999) / 1000);
        p.sptd.SenseInfoLength = sizeof p.sense;
        p.sptd.SenseInfoOffset = ULONG(offsetof(PassThroughWithSense, sense));
        DWORD got = 0;
        if (!DeviceIoControl(toHandle(h), IOCTL_SCSI_PASS_THROUGH_DIRECT, &p, sizeof p, &p, sizeof p, &got, nullptr))
            return GetLastError();
        x.status = p.sptd.ScsiStatus;
        x.hostStatus = 0;
        x.driverStatus = 0;
        x.residual = int32_t(x.length - std::min<ULONG>(p.sptd.DataTransferLength, x.length));
        x.senseLength = std::min<uint8_t>(p.sptd.SenseInfoLength, sizeof x.sense);
        std::memcpy(x.sense, p.sense, x.senseLength);
        return 0;
    }

    std::optional<ScsiAddress> scsiAddress(Handle h) override {
        SCSI_ADDRESS a{};
        DWORD got = 0;
        if (!DeviceIoControl(toHandle(h), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &got, nullptr))
            return std::nullopt;
        return ScsiAddress{a.PortNumber, a.PathId, a.TargetId, a.Lun};
    }

    std::optional<uint32_t> deviceNumber(Handle h) override {
        STORAGE_DEVICE_NUMBER n{};
        DWORD got = 0;
        if (!DeviceIoControl(toHandle(h), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got, nullptr))
            return std::nullopt;
        // A CD-ROM or floppy numbers its own devices; only disks share our numbers.
        if (n.DeviceType != FILE_DEVICE_DISK) return std::nullopt;
        return uint32_t(n.DeviceNumber);
    }

    uint32_t lockAndDismount(Handle h) override {
        DWORD got = 0;
        if (!DeviceIoControl(toHandle(h), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr))
            return GetLastError();
        if (!DeviceIoControl(toHandle(h), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr))
            return GetLastError();
        return 0;
    }

    uint32_t logicalDrives() override { return uint32_t(GetLogicalDrives()); }
};

std::string moduleDirectory() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&moduleDirectory), &self))
        return {};
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(self, path, sizeof path);
    if (n == 0 || n >= sizeof path) return {};
    std::string s(path, n);
    size_t slash = s.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : s.substr(0, slash);
}

} // namespace

WinSystemOps &windowsSystem() {
    static RealWinSystem system;
    return system;
}

} // namespace passthrough::win

namespace passthrough {
DiskSystem &machineDisks() {
    static win::WinDisks disks(win::windowsSystem());
    return disks;
}

Options machineOptions() { return optionsFromEnvironment(win::moduleDirectory()); }
} // namespace passthrough

namespace scsi {
int32_t systemGeneration() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return 0;
    return int32_t(info.dwPlatformId);
}

std::unique_ptr<Backend> makePassthroughBackend() {
    return std::make_unique<passthrough::PassthroughBackend>(passthrough::machineDisks(),
                                                             passthrough::machineOptions());
}
} // namespace scsi
