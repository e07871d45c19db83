// A machine for the pass-through without hardware: a sysfs tree held in memory,
// SCSI devices that answer INQUIRY, READ(10) and WRITE(10) from a small sector
// store (or hand the command to an emulated flash disk), and failures on demand.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "Backend.h"
#include "DeviceFinder.h"
#include "SystemOps.h"
#include "byteorder.h"

namespace fakesys {

using passthrough::SgExchange;

// How one exchange is to end instead of being carried out.
struct Failure {
    int ioctlErrno = 0; // the ioctl fails with this errno
    uint8_t status = 0;
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    std::vector<uint8_t> sense;
};

inline Failure checkCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    Failure f;
    f.status = 0x02;
    f.driverStatus = 0x08;
    f.sense.assign(18, 0);
    f.sense[0] = 0x70;
    f.sense[2] = key;
    f.sense[7] = 10;
    f.sense[12] = asc;
    f.sense[13] = ascq;
    return f;
}

struct Command {
    std::vector<uint8_t> cdb;
    SgExchange::Direction direction;
    uint32_t length;
    std::vector<uint8_t> data; // bytes sent to the device
};

struct Device {
    passthrough::Identity inquiry;
    int openErrno = 0;
    std::map<uint32_t, std::vector<uint8_t>> sectors; // by block address
    std::deque<Failure> failures;                     // next exchanges fail so
    std::vector<Command> commands;
    std::vector<uint32_t> refusedAddresses; // READ/WRITE(10) there end in CHECK CONDITION
    bool heldElsewhere = false;             // another program has it open: opening fails with EBUSY
    int32_t shortBy = 0;                    // next READ/WRITE(10) ends GOOD with this many bytes not moved
    scsi::Backend *forward = nullptr;       // hand READ/WRITE(10) on to this
    // With forward: a 10-byte command block of one block is what the transport
    // makes of ReadDisk/WriteDisk, a 12-byte one is the host's own block; hand
    // each on as the call it came from, so the device model sees what the
    // library sent.
    bool forwardAsCalls = false;
};

class FakeSystem final : public passthrough::SystemOps {
public:
    std::map<std::string, std::string> files;
    std::map<std::string, std::vector<std::string>> dirs;
    std::map<std::string, std::string> links;
    std::map<std::string, std::unique_ptr<Device>> devices; // by node
    std::map<std::string, std::string> fileDevices;         // deviceOf: path -> "major:minor"
    std::vector<std::vector<std::string>> programs;
    int programResult = 0;
    std::string programOutput;
    bool udisks = false;
    std::vector<std::string> written; // sysfs switches set: "path=text"
    std::vector<std::string> rereads; // disks whose partition table was asked for again
    int writeResult = 0, rereadResult = 0;
    int openCount = 0;

    // One SCSI disk under /sys/bus/scsi/devices/<hctl>.
    Device &addDisk(const std::string &hctl, const std::string &vendor, const std::string &product,
                    const std::string &revision, const std::string &block, const std::string &generic, bool removable,
                    bool usb, const std::string &dev = "8:16") {
        const std::string dir = "/sys/bus/scsi/devices/" + hctl;
        dirs["/sys/bus/scsi/devices"].push_back(hctl);
        files[dir + "/type"] = "0\n";
        // The kernel pads the identification with blanks, as INQUIRY does.
        files[dir + "/vendor"] = pad(vendor, 8) + "\n";
        files[dir + "/model"] = pad(product, 16) + "\n";
        files[dir + "/rev"] = pad(revision, 4) + "\n";
        if (!block.empty()) {
            dirs[dir + "/block"] = {block};
            files["/sys/block/" + block + "/removable"] = removable ? "1\n" : "0\n";
            files["/sys/block/" + block + "/dev"] = dev + "\n";
        }
        if (!generic.empty()) dirs[dir + "/scsi_generic"] = {generic};
        links[dir] = std::string("/sys/devices/pci0000:00/0000:00:14.0/") + (usb ? "usb2/2-1/2-1:1.0/" : "ata1/") +
                     "host6/target6:0:0/" + hctl;
        auto d = std::make_unique<Device>();
        d->inquiry = {vendor, product, revision};
        Device &ref = *d;
        devices["/dev/" + (generic.empty() ? block : generic)] = std::move(d);
        return ref;
    }

    static std::string pad(std::string s, size_t n) {
        s.resize(std::max(s.size(), n), ' ');
        return s;
    }

    int openDevice(const std::string &path) override {
        auto it = devices.find(path);
        if (it == devices.end()) return -ENOENT;
        if (it->second->openErrno) return -it->second->openErrno;
        // Opens are exclusive: a holder in another program, or in this one.
        if (it->second->heldElsewhere || isOpen(*it->second)) return -EBUSY;
        ++openCount;
        int fd = nextFd_++;
        fds_[fd] = it->second.get();
        return fd;
    }

    void closeDevice(int fd) override { fds_.erase(fd); }

    bool isOpen(const Device &d) const {
        for (auto &kv : fds_)
            if (kv.second == &d) return true;
        return false;
    }

    int exchange(int fd, SgExchange &x) override {
        auto it = fds_.find(fd);
        if (it == fds_.end()) return -EBADF;
        Device &d = *it->second;
        Command c;
        c.cdb.assign(x.cdb, x.cdb + x.cdbLength);
        c.direction = x.direction;
        c.length = x.length;
        if (x.direction == SgExchange::Direction::ToDevice && x.data)
            c.data.assign(static_cast<uint8_t *>(x.data), static_cast<uint8_t *>(x.data) + x.length);
        d.commands.push_back(c);
        if (!d.failures.empty()) {
            Failure f = d.failures.front();
            d.failures.pop_front();
            if (f.ioctlErrno) return -f.ioctlErrno;
            answer(x, f);
            return 0;
        }
        uint8_t op = x.cdb[0];
        if ((op == 0x28 || op == 0x2A) && std::find(d.refusedAddresses.begin(), d.refusedAddresses.end(),
                                                    bo::getBE32(x.cdb + 2)) != d.refusedAddresses.end()) {
            answer(x, checkCondition(0x05, 0x21, 0x00)); // logical block address out of range
            return 0;
        }
        if ((op == 0x28 || op == 0x2A) && d.shortBy) {
            // GOOD status, but part of the data never moved (a bridge that
            // gave up early): what a real kernel reports as a residual.
            x.residual = std::exchange(d.shortBy, 0);
            return 0;
        }
        if (op == 0x12) {
            auto *out = static_cast<uint8_t *>(x.data);
            std::memset(out, 0, x.length);
            std::string v = pad(d.inquiry.vendor, 8), p = pad(d.inquiry.product, 16), r = pad(d.inquiry.revision, 4);
            if (x.length >= 36) {
                std::memcpy(out + 8, v.data(), 8);
                std::memcpy(out + 16, p.data(), 16);
                std::memcpy(out + 32, r.data(), 4);
            }
            return 0;
        }
        if (op == 0x28 || op == 0x2A) {
            if (d.forward) {
                uint8_t cdb12[12] = {};
                std::memcpy(cdb12, x.cdb, std::min<size_t>(x.cdbLength, 12));
                int32_t ok;
                if (d.forwardAsCalls && x.cdbLength == 10 && bo::getBE16(x.cdb + 7) == 1 && x.length == 512)
                    ok = op == 0x28 ? d.forward->readDisk(bo::getBE32(x.cdb + 2), 1, x.data)
                                    : d.forward->writeDisk(bo::getBE32(x.cdb + 2), 1, x.data);
                else
                    ok = op == 0x28 ? d.forward->readScsi(cdb12, x.data, x.length)
                                    : d.forward->writeScsi(cdb12, x.data, x.length);
                if (!(ok & 0xFFFF)) answer(x, checkCondition(0x05, 0x24, 0x00));
                return 0;
            }
            uint32_t lba = bo::getBE32(x.cdb + 2);
            uint32_t blocks = bo::getBE16(x.cdb + 7);
            auto *p = static_cast<uint8_t *>(x.data);
            for (uint32_t i = 0; i < blocks && (i + 1) * 512 <= x.length; ++i) {
                auto &s = d.sectors[lba + i];
                s.resize(512, 0);
                if (op == 0x28)
                    std::memcpy(p + i * 512, s.data(), 512);
                else
                    std::memcpy(s.data(), p + i * 512, 512);
            }
            return 0;
        }
        answer(x, checkCondition(0x05, 0x20, 0x00)); // invalid command operation code
        return 0;
    }

    std::optional<std::string> readText(const std::string &path) override {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    }
    std::vector<std::string> listDirectory(const std::string &path) override {
        auto it = dirs.find(path);
        return it == dirs.end() ? std::vector<std::string>{} : it->second;
    }
    std::optional<std::string> realPath(const std::string &path) override {
        auto it = links.find(path);
        if (it != links.end()) return it->second;
        if (files.count(path) || dirs.count(path) || devices.count(path)) return path;
        return std::nullopt;
    }
    bool exists(const std::string &path) override { return realPath(path).has_value(); }
    std::optional<std::string> deviceOf(const std::string &path) override {
        auto it = fileDevices.find(path);
        if (it == fileDevices.end()) return std::nullopt;
        return it->second;
    }
    int runProgram(const std::vector<std::string> &argv, std::string *output) override {
        programs.push_back(argv);
        *output = programResult ? programOutput : std::string();
        // An unmount that worked takes its line out of the mount table.
        if (programResult == 0 && argv.size() == 2 && argv[0] == "umount") {
            std::string &table = files["/proc/self/mountinfo"];
            for (size_t at = table.find(" " + argv[1] + " "); at != std::string::npos;
                 at = table.find(" " + argv[1] + " ")) {
                const size_t begin = table.rfind('\n', at) == std::string::npos ? 0 : table.rfind('\n', at) + 1;
                table.erase(begin, table.find('\n', at) + 1 - begin);
            }
        }
        return programResult;
    }
    bool udisksRunning() override { return udisks; }
    int writeText(const std::string &path, const std::string &text) override {
        written.push_back(path + "=" + text);
        return writeResult;
    }
    int rereadPartitions(const std::string &diskNode) override {
        rereads.push_back(diskNode);
        return rereadResult;
    }

private:
    static void answer(SgExchange &x, const Failure &f) {
        x.status = f.status;
        x.hostStatus = f.hostStatus;
        x.driverStatus = f.driverStatus;
        x.senseLength = uint8_t(std::min<size_t>(f.sense.size(), sizeof x.sense));
        if (x.senseLength) std::memcpy(x.sense, f.sense.data(), x.senseLength);
    }

    int nextFd_ = 10;
    std::map<int, Device *> fds_;
};

} // namespace fakesys
