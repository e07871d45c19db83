// A fake Windows system for the Windows pass-through: physical drives with their
// storage descriptors, volumes by drive letter, and a device behind each drive
// that answers INQUIRY itself and hands READ(10)/WRITE(10) to the emulated disk.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Backend.h"
#include "DeviceFinder.h"
#include "WinSystemOps.h"
#include "byteorder.h"

namespace winfake {

using passthrough::SgExchange;
using passthrough::win::Handle;

// How one exchange is to end instead of being carried out.
struct Failure {
    uint32_t ioctlError = 0; // DeviceIoControl fails with this Win32 error
    uint8_t status = 0;
    std::vector<uint8_t> sense;
};

inline Failure checkCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    Failure f;
    f.status = 0x02;
    f.sense.assign(18, 0);
    f.sense[0] = 0x70;
    f.sense[2] = key;
    f.sense[7] = 10;
    f.sense[12] = asc;
    f.sense[13] = ascq;
    return f;
}

struct Drive {
    passthrough::win::StorageDescriptor descriptor;
    passthrough::Identity inquiry; // what the device itself answers
    uint32_t rawOpenError = 0;     // opening for read/write fails so
    uint32_t descriptorError = 0;
    passthrough::win::ScsiAddress address; // set by addDrive: a device of its own
    bool heldElsewhere = false;            // another program writes to it
    std::deque<Failure> failures;          // the next exchanges end so
    std::vector<std::vector<uint8_t>> cdbs;
    scsi::Backend *forward = nullptr; // the device model behind the drive
};

struct Volume {
    uint32_t drive = 0;
    uint32_t dismountError = 0;
    bool dismounted = false;
    bool locked = false; // by a handle still open
    bool cdrom = false;  // numbered apart from the disks
};

class FakeWinSystem final : public passthrough::win::WinSystemOps {
public:
    std::map<uint32_t, std::unique_ptr<Drive>> drives;
    std::map<char, Volume> volumes;
    std::vector<std::string> rawOpens; // paths opened for read/write

    Drive &addDrive(uint32_t number, const std::string &vendor, const std::string &product, const std::string &revision,
                    bool usb, bool removable) {
        auto d = std::make_unique<Drive>();
        d->descriptor = {vendor, product, revision, usb ? passthrough::win::kBusTypeUsb : 11u /* SATA */, removable};
        d->inquiry = {vendor, product, revision};
        d->address = {1, 0, number, 0};
        Drive &ref = *d;
        drives[number] = std::move(d);
        return ref;
    }

    Handle open(const std::string &path, bool readWrite, uint32_t *error) override {
        Target t;
        const std::string drivePrefix = "\\\\.\\PhysicalDrive";
        if (path.rfind(drivePrefix, 0) == 0) {
            uint32_t n = uint32_t(std::stoul(path.substr(drivePrefix.size())));
            auto it = drives.find(n);
            if (it == drives.end()) {
                *error = passthrough::win::kErrorFileNotFound;
                return passthrough::win::kNoHandle;
            }
            if (readWrite && it->second->rawOpenError) {
                *error = it->second->rawOpenError;
                return passthrough::win::kNoHandle;
            }
            // A writer shares the drive with readers only.
            if (readWrite && (it->second->heldElsewhere || writing(it->second.get()))) {
                *error = passthrough::win::kErrorSharingViolation;
                return passthrough::win::kNoHandle;
            }
            t.drive = it->second.get();
            t.number = n;
            t.writer = readWrite;
        } else if (path.size() == 6 && path.rfind("\\\\.\\", 0) == 0 && path[5] == ':') {
            auto it = volumes.find(path[4]);
            if (it == volumes.end()) {
                *error = passthrough::win::kErrorFileNotFound;
                return passthrough::win::kNoHandle;
            }
            t.volume = &it->second;
        } else {
            *error = passthrough::win::kErrorPathNotFound;
            return passthrough::win::kNoHandle;
        }
        if (readWrite && t.drive) rawOpens.push_back(path);
        *error = 0;
        Handle h = nextHandle_++;
        open_[h] = t;
        return h;
    }

    void close(Handle h) override {
        auto it = open_.find(h);
        if (it != open_.end() && it->second.volume) it->second.volume->locked = false;
        open_.erase(h);
    }

    size_t openHandles() const { return open_.size(); }

    uint32_t queryDescriptor(Handle h, passthrough::win::StorageDescriptor *out) override {
        Drive *d = driveOf(h);
        if (!d) return 6; // ERROR_INVALID_HANDLE
        if (d->descriptorError) return d->descriptorError;
        *out = d->descriptor;
        return 0;
    }

    uint32_t passThrough(Handle h, SgExchange &x) override {
        Drive *d = driveOf(h);
        if (!d) return 6;
        d->cdbs.emplace_back(x.cdb, x.cdb + x.cdbLength);
        if (!d->failures.empty()) {
            Failure f = d->failures.front();
            d->failures.pop_front();
            if (f.ioctlError) return f.ioctlError;
            answer(x, f);
            return 0;
        }
        const uint8_t op = x.cdb[0];
        if (op == 0x12 && x.length >= 36) {
            auto *out = static_cast<uint8_t *>(x.data);
            std::memset(out, 0, x.length);
            std::string v = pad(d->inquiry.vendor, 8), p = pad(d->inquiry.product, 16), r = pad(d->inquiry.revision, 4);
            std::memcpy(out + 8, v.data(), 8);
            std::memcpy(out + 16, p.data(), 16);
            std::memcpy(out + 32, r.data(), 4);
            return 0;
        }
        if ((op == 0x28 || op == 0x2A) && d->forward) {
            int32_t ok;
            if (x.cdbLength == 10 && bo::getBE16(x.cdb + 7) == 1 && x.length == 512) {
                ok = op == 0x28 ? d->forward->readDisk(bo::getBE32(x.cdb + 2), 1, x.data)
                                : d->forward->writeDisk(bo::getBE32(x.cdb + 2), 1, x.data);
            } else {
                uint8_t cdb12[12] = {};
                std::memcpy(cdb12, x.cdb, std::min<size_t>(x.cdbLength, 12));
                ok = op == 0x28 ? d->forward->readScsi(cdb12, x.data, x.length)
                                : d->forward->writeScsi(cdb12, x.data, x.length);
            }
            if (!(ok & 0xFFFF)) answer(x, checkCondition(0x05, 0x24, 0x00));
            return 0;
        }
        if (op == 0x28 || op == 0x2A) {
            // No device model behind it: reads come back blank, writes vanish.
            if (op == 0x28) std::memset(x.data, 0, x.length);
            return 0;
        }
        answer(x, checkCondition(0x05, 0x20, 0x00)); // invalid command operation code
        return 0;
    }

    std::optional<passthrough::win::ScsiAddress> scsiAddress(Handle h) override {
        Drive *d = driveOf(h);
        if (!d) return std::nullopt;
        return d->address;
    }

    std::optional<uint32_t> deviceNumber(Handle h) override {
        auto it = open_.find(h);
        if (it == open_.end()) return std::nullopt;
        if (it->second.drive) return it->second.number;
        if (it->second.volume && !it->second.volume->cdrom) return it->second.volume->drive;
        return std::nullopt;
    }

    uint32_t lockAndDismount(Handle h) override {
        auto it = open_.find(h);
        if (it == open_.end() || !it->second.volume) return 1; // ERROR_INVALID_FUNCTION
        Volume &v = *it->second.volume;
        if (v.dismountError) return v.dismountError;
        v.dismounted = true;
        v.locked = true;
        return 0;
    }

    uint32_t logicalDrives() override {
        uint32_t mask = 1u << 2; // C: of the machine, on no drive we know
        for (auto &kv : volumes) mask |= 1u << (kv.first - 'A');
        return mask;
    }

    static std::string pad(std::string s, size_t n) {
        s.resize(std::max(s.size(), n), ' ');
        return s;
    }

private:
    struct Target {
        Drive *drive = nullptr;
        uint32_t number = 0;
        bool writer = false;
        Volume *volume = nullptr;
    };

    bool writing(const Drive *d) const {
        for (auto &kv : open_)
            if (kv.second.drive == d && kv.second.writer) return true;
        return false;
    }

    Drive *driveOf(Handle h) {
        auto it = open_.find(h);
        return it == open_.end() ? nullptr : it->second.drive;
    }

    static void answer(SgExchange &x, const Failure &f) {
        x.status = f.status;
        x.senseLength = uint8_t(std::min<size_t>(f.sense.size(), sizeof x.sense));
        if (x.senseLength) std::memcpy(x.sense, f.sense.data(), x.senseLength);
    }

    Handle nextHandle_ = 100;
    std::map<Handle, Target> open_;
};

} // namespace winfake
