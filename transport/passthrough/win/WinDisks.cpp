#include "WinDisks.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace passthrough::win {
namespace {

constexpr char kDrivePrefix[] = "\\\\.\\PhysicalDrive";

std::string errorText(uint32_t error) {
    switch (error) {
    case kErrorAccessDenied: return "access denied";
    case kErrorSharingViolation: return "in use by another program";
    default: return "Windows error " + std::to_string(error);
    }
}

} // namespace

std::string physicalDrivePath(uint32_t number) { return kDrivePrefix + std::to_string(number); }

std::string volumePath(char letter) { return std::string("\\\\.\\") + letter + ":"; }

Result classifyWin(uint32_t ioctlError, const SgExchange &x) {
    if (ioctlError == 0) return classify(0, x);
    Result r;
    r.osError = int(ioctlError);
    r.outcome =
        ioctlError == kErrorSemTimeout || ioctlError == kErrorTimeout ? Outcome::Timeout : Outcome::TransportError;
    return r;
}

WinDisks::WinDisks(WinSystemOps &os, uint32_t maxDrives) : os_(os), maxDrives_(maxDrives) {}

WinDisks::~WinDisks() { releaseVolumes(); }

std::vector<DiskEntry> WinDisks::listDisks() {
    struct Drive {
        uint32_t number;
        StorageDescriptor descriptor;
        ScsiAddress address;
    };
    std::vector<Drive> drives;
    for (uint32_t n = 0; n < maxDrives_; ++n) {
        // The descriptor can be asked without access rights, so a disk that this
        // process may not open for raw access is still recognised.
        uint32_t error = 0;
        Handle query = os_.open(physicalDrivePath(n), false, &error);
        if (query == kNoHandle) continue; // drive numbers have gaps where a disk was removed
        Drive d{n, {}, {}};
        error = os_.queryDescriptor(query, &d.descriptor);
        // Without an address a drive is a device of its own.
        d.address = os_.scsiAddress(query).value_or(ScsiAddress{0xFFFFFFFFu, n, 0, 0});
        os_.close(query);
        if (error == 0) drives.push_back(d);
    }
    std::vector<DiskEntry> disks;
    std::vector<bool> taken(drives.size(), false);
    for (size_t i = 0; i < drives.size(); ++i) {
        if (taken[i]) continue;
        // The units of one device; the lowest takes the commands.
        std::vector<size_t> group;
        for (size_t j = i; j < drives.size(); ++j) {
            const ScsiAddress &a = drives[i].address, &b = drives[j].address;
            if (!taken[j] && a.port == b.port && a.path == b.path && a.target == b.target) group.push_back(j);
        }
        std::sort(group.begin(), group.end(),
                  [&](size_t a, size_t b) { return drives[a].address.lun < drives[b].address.lun; });
        const Drive &first = drives[group.front()];
        DiskEntry d;
        d.node = physicalDrivePath(first.number);
        for (size_t j : group) {
            taken[j] = true;
            d.names.push_back(physicalDrivePath(drives[j].number));
            d.units.push_back(std::to_string(drives[j].number));
        }
        d.identity = {first.descriptor.vendor, first.descriptor.product, first.descriptor.revision};
        d.usb = first.descriptor.busType == kBusTypeUsb;
        disks.push_back(std::move(d));
    }
    return disks;
}

std::string WinDisks::canonicalNode(const std::string &name) {
    // "\\.\physicaldrive3", "PhysicalDrive3" and "\\.\PhysicalDrive3" are one disk.
    std::string lower;
    for (char c : name) lower += char(std::tolower(static_cast<unsigned char>(c)));
    const std::string bare = "physicaldrive";
    size_t at = lower.rfind(bare, lower.rfind("\\\\.\\", 0) == 0 ? 4 : 0);
    if (at == std::string::npos || (at != 0 && at != 4)) return name;
    const std::string digits = lower.substr(at + bare.size());
    if (digits.empty() || digits.size() > 3 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return name;
    return physicalDrivePath(uint32_t(std::stoul(digits)));
}

OpenStatus WinDisks::open(const DiskEntry &disk, Handle *handle, std::string *why) {
    uint32_t error = 0;
    Handle h = os_.open(disk.node, true, &error);
    if (h != kNoHandle) {
        *handle = h;
        return OpenStatus::Opened;
    }
    *why = errorText(error);
    // Not elevated: the library then logs in by file instead.
    if (error == kErrorAccessDenied) return OpenStatus::Refused;
    if (error == kErrorSharingViolation) return OpenStatus::Busy;
    return OpenStatus::Failed;
}

void WinDisks::close(Handle handle) { os_.close(handle); }

Result WinDisks::exchange(Handle handle, SgExchange &x, std::string *note) {
    const uint32_t error = os_.passThrough(handle, x);
    // A Win32 code is no errno: the log names it as what it is.
    if (error) *note = "win32-error=" + std::to_string(error);
    return classifyWin(error, x);
}

std::vector<MountedVolume> WinDisks::mountedVolumes(const DiskEntry &disk) {
    std::vector<MountedVolume> out;
    const uint32_t mask = driveMask(disk);
    for (int i = 0; i < 26; ++i)
        if (mask & (1u << i))
            out.push_back({std::string(1, char('A' + i)) + ":", std::string(1, char('A' + i)) + ":\\"});
    return out;
}

bool WinDisks::unmount(const MountedVolume &volume, std::string *message) {
    uint32_t error = 0;
    Handle v = os_.open(volumePath(volume.device[0]), true, &error);
    if (v != kNoHandle) error = os_.lockAndDismount(v);
    if (error == 0) {
        // The lock is kept until the disk is closed: a volume that is only
        // dismounted is mounted again by the next program that looks at it.
        lockedVolumes_.push_back(v);
        return true;
    }
    if (v != kNoHandle) os_.close(v);
    *message = error == kErrorAccessDenied ? "a program has a file open on it (Windows error 5)" : errorText(error);
    return false;
}

void WinDisks::releaseVolumes() {
    for (Handle v : lockedVolumes_) os_.close(v);
    lockedVolumes_.clear();
}

uint32_t WinDisks::driveMask(const DiskEntry &disk) {
    const uint32_t present = os_.logicalDrives();
    uint32_t mask = 0;
    for (int i = 0; i < 26; ++i) {
        if (!(present & (1u << i))) continue;
        uint32_t error = 0;
        Handle v = os_.open(volumePath(char('A' + i)), false, &error);
        if (v == kNoHandle) continue;
        auto number = os_.deviceNumber(v);
        os_.close(v);
        if (number && std::find(disk.units.begin(), disk.units.end(), std::to_string(*number)) != disk.units.end())
            mask |= 1u << i;
    }
    return mask;
}

} // namespace passthrough::win
