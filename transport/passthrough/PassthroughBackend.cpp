#include "PassthroughBackend.h"

#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ScsiTransport.h"
#include "byteorder.h"
#include "platform/Drives.h"

namespace passthrough {
namespace {

constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kInquiry = 0x12;
constexpr uint32_t kSector = 512;
constexpr uint32_t kFirstVendorAddress = 0x10000000u;
constexpr uint8_t kAscResetOccurred = 0x29;
constexpr uint8_t kAscMediumChanged = 0x28;

std::string libraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&scsi::makePassthroughBackend), &info) && info.dli_fname)
        return std::filesystem::path(info.dli_fname).parent_path().string();
    return {};
}

std::string readWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    if (in) s << in.rdbuf();
    return s.str();
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// mountinfo escapes blanks and a few other characters as \ooo.
std::string unescapeMountField(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && isOctal(s[i + 1]) && isOctal(s[i + 2]) && isOctal(s[i + 3])) {
            out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

Options optionsFromEnvironment() {
    Options o;
    const char *known = std::getenv(kKnownEnv);
    std::string path = known && *known ? known : libraryDirectory() + "/" + kKnownFile;
    o.known = parseKnownControllers(readWholeFile(path));
    const char *logTarget = std::getenv(kLogEnv);
    if (logTarget && *logTarget) {
        std::string target = logTarget;
        if (target == "stderr" || target == "1") {
            o.log = [](const std::string &line) { std::fprintf(stderr, "SCSI.dll: %s\n", line.c_str()); };
        } else {
            o.log = [target](const std::string &line) {
                if (FILE *f = std::fopen(target.c_str(), "a")) {
                    std::fprintf(f, "%s\n", line.c_str());
                    std::fclose(f);
                }
            };
        }
    }
    return o;
}

PassthroughBackend::PassthroughBackend(SystemOps &os, Options options) : os_(os), options_(std::move(options)) {}

PassthroughBackend::~PassthroughBackend() { close(); }

void PassthroughBackend::log(const std::string &line) const {
    if (options_.log) options_.log(line);
}

bool PassthroughBackend::inquiry(int fd, const std::string &node, Identity *id) {
    uint8_t cdb[6] = {kInquiry, 0, 0, 0, 36, 0};
    uint8_t data[36] = {};
    SgExchange x;
    x.cdb = cdb;
    x.cdbLength = sizeof cdb;
    x.direction = SgExchange::Direction::FromDevice;
    x.data = data;
    x.length = sizeof data;
    x.timeoutMs = options_.dataTimeoutMs;
    Result r = classify(os_.exchange(fd, x), x);
    log(describe(node, x, r));
    if (!succeeded(r) || x.residual > 0) return false;
    *id = identityFromInquiry(data, sizeof data);
    return true;
}

int32_t PassthroughBackend::open(const void *params) {
    close();
    Wanted wanted = parseParams(params);
    auto disks = enumerateDisks(os_, options_.sysRoot);
    bool refused = false;
    auto chosen = candidates(disks, wanted, options_.known);
    if (chosen.empty())
        log("no disk matches " +
            (wanted.empty() ? std::string("the known controllers")
                            : wanted.vendor + "/" + wanted.product + "/" + wanted.revision) +
            " among " + std::to_string(disks.size()) + " SCSI disks");
    for (const ScsiDisk &d : chosen) {
        std::string node = d.node();
        int fd = os_.openDevice(node);
        if (fd == -EACCES || fd == -EPERM) {
            // Present, but this process may not send it raw commands: the
            // library then logs in by file instead.
            log(node + ": raw access refused (" + std::strerror(-fd) + ")");
            refused = true;
            continue;
        }
        if (fd < 0) {
            log(node + ": cannot open (" + std::strerror(-fd) + ")");
            continue;
        }
        // sysfs holds what the kernel read at attach time; ask the device itself.
        Identity id;
        if (!inquiry(fd, node, &id)) {
            os_.closeDevice(fd);
            continue;
        }
        bool ok = wanted.empty() ? isKnown(id, options_.known) : matchesWanted(id, wanted);
        if (!ok) {
            log(node + ": identification changed to " + id.vendor + "/" + id.product + "/" + id.revision);
            os_.closeDevice(fd);
            continue;
        }
        fd_ = fd;
        disk_ = d;
        disk_.identity = id;
        log(node + ": opened " + id.vendor + "/" + id.product + "/" + id.revision);
        return SCSI_INIT_OK;
    }
    return refused ? SCSI_INIT_RAW_REFUSED : SCSI_INIT_NO_DEVICE;
}

int32_t PassthroughBackend::close() {
    if (fd_ >= 0) {
        os_.closeDevice(fd_);
        fd_ = -1;
    }
    return 1;
}

bool PassthroughBackend::send(const uint8_t *cdb, uint8_t cdbLength, SgExchange::Direction dir, void *data,
                              uint32_t length, uint32_t timeoutMs) {
    if (fd_ < 0) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SgExchange x;
        x.cdb = cdb;
        x.cdbLength = cdbLength;
        x.direction = length ? dir : SgExchange::Direction::None;
        x.data = data;
        x.length = length;
        x.timeoutMs = timeoutMs;
        last_ = classify(os_.exchange(fd_, x), x);
        log(describe(disk_.node(), x, last_));
        if (succeeded(last_)) return !(dir == SgExchange::Direction::FromDevice && x.residual > 0);
        // A device that was reset (as the reset command does) or had its medium
        // changed reports it once on the next command; that command is sent again.
        bool afterReset = last_.outcome == Outcome::UnitAttention &&
                          (last_.sense.asc == kAscResetOccurred || last_.sense.asc == kAscMediumChanged);
        if (!afterReset || attempt == 1) return false;
    }
    return false;
}

bool PassthroughBackend::sectorCommand(uint8_t opcode, uint32_t address, void *data) {
    uint8_t cdb[10] = {opcode};
    bo::putBE32(cdb + 2, address);
    bo::putBE16(cdb + 7, 1);
    auto dir = opcode == kRead10 ? SgExchange::Direction::FromDevice : SgExchange::Direction::ToDevice;
    uint32_t timeout = address >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return send(cdb, sizeof cdb, dir, data, kSector, timeout);
}

int32_t PassthroughBackend::readDisk(uint32_t address, uint32_t count, void *buffer) {
    if (fd_ < 0 || !buffer || count == 0) return 0;
    uint8_t *out = static_cast<uint8_t *>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        if (!sectorCommand(kRead10, address + i, out + size_t(i) * kSector)) return 0;
    }
    return 1;
}

int32_t PassthroughBackend::writeDisk(uint32_t address, uint32_t count, const void *data) {
    if (fd_ < 0 || !data || count == 0) return 0;
    const uint8_t *in = static_cast<const uint8_t *>(data);
    for (uint32_t i = 0; i < count; ++i) {
        if (!sectorCommand(kWrite10, address + i, const_cast<uint8_t *>(in + size_t(i) * kSector))) return 0;
    }
    return 1;
}

int32_t PassthroughBackend::readScsi(const uint8_t *cdb12, void *buffer, uint32_t length) {
    if (fd_ < 0 || !cdb12 || (length && !buffer)) return 0;
    uint32_t timeout =
        bo::getBE32(cdb12 + 2) >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return send(cdb12, 12, SgExchange::Direction::FromDevice, buffer, length, timeout) ? 1 : 0;
}

int32_t PassthroughBackend::writeScsi(const uint8_t *cdb12, const void *data, uint32_t length) {
    if (fd_ < 0 || !cdb12 || (length && !data)) return 0;
    uint32_t timeout =
        bo::getBE32(cdb12 + 2) >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return send(cdb12, 12, SgExchange::Direction::ToDevice, const_cast<void *>(data), length, timeout) ? 1 : 0;
}

// major:minor of the disk and of each of its partitions.
std::vector<std::string> PassthroughBackend::deviceNumbers() const {
    std::vector<std::string> numbers;
    if (disk_.blockName.empty()) return numbers;
    if (!disk_.dev.empty()) numbers.push_back(disk_.dev);
    const std::string blockDir = options_.sysRoot + "/block/" + disk_.blockName;
    for (const std::string &name : os_.listDirectory(blockDir)) {
        if (name.rfind(disk_.blockName, 0) != 0) continue;
        auto dev = os_.readText(blockDir + "/" + name + "/dev");
        if (dev) {
            std::string s = *dev;
            while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
            numbers.push_back(s);
        }
    }
    return numbers;
}

int32_t PassthroughBackend::getDiskVolume(uint32_t /*value*/) {
    if (fd_ < 0 || disk_.blockName.empty()) return 0;
    const std::string prefix = "/dev/" + disk_.blockName;
    int32_t mask = 0;
    for (const platform::DriveEntry &d : platform::driveTable()) {
        std::string source = os_.realPath(d.source).value_or(d.source);
        if (source.rfind(prefix, 0) == 0 && d.letter >= 'A' && d.letter <= 'Z') mask |= int32_t(1u << (d.letter - 'A'));
    }
    return mask;
}

int32_t PassthroughBackend::disMountDisk() {
    unmountFailures_.clear();
    if (fd_ < 0) return 0;
    auto numbers = deviceNumbers();
    auto text = os_.readText(options_.procMountInfo);
    if (!text) return 0;
    struct Mount {
        std::string point, source;
    };
    std::vector<Mount> mounts;
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, dev, root, point;
        if (!(f >> id >> parent >> dev >> root >> point)) continue;
        if (std::find(numbers.begin(), numbers.end(), dev) == numbers.end()) continue;
        std::string word, source;
        while (f >> word && word != "-") {}
        std::string fstype;
        f >> fstype >> source;
        mounts.push_back({unescapeMountField(point), unescapeMountField(source)});
    }
    bool udisks = os_.udisksRunning();
    // Innermost mounts first, so a mount on top of another goes before it.
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        int rc = udisks
                     ? os_.runProgram({"udisksctl", "unmount", "--no-user-interaction", "--block-device", it->source})
                     : os_.runProgram({"umount", it->point});
        if (rc != 0) {
            unmountFailures_.push_back(it->point);
            log("cannot unmount " + it->source + " from " + it->point);
        } else {
            log("unmounted " + it->source + " from " + it->point);
        }
    }
    return unmountFailures_.empty() ? 1 : 0;
}

} // namespace passthrough

namespace scsi {
std::unique_ptr<Backend> makePassthroughBackend() {
    return std::make_unique<passthrough::PassthroughBackend>(passthrough::linuxSystem(),
                                                             passthrough::optionsFromEnvironment());
}
} // namespace scsi
