#include "WinPassthroughBackend.h"

#include <string>

#include "ScsiTransport.h"
#include "byteorder.h"

namespace passthrough::win {
namespace {

constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kInquiry = 0x12;
constexpr uint32_t kSector = 512;
constexpr uint32_t kFirstVendorAddress = 0x10000000u;
constexpr uint8_t kAscResetOccurred = 0x29;
constexpr uint8_t kAscMediumChanged = 0x28;

bool chosenByDescriptor(const StorageDescriptor &d, const Wanted &wanted, const std::vector<KnownController> &known) {
    Identity id{d.vendor, d.product, d.revision};
    if (!wanted.empty()) return matchesWanted(id, wanted);
    // With nothing asked for, only a removable USB disk of a controller we know
    // is taken: never a fixed disk of the machine.
    return d.removableMedia && d.busType == kBusTypeUsb && isKnown(id, known);
}

} // namespace

std::string physicalDrivePath(uint32_t number) { return "\\\\.\\PhysicalDrive" + std::to_string(number); }

std::string volumePath(char letter) { return std::string("\\\\.\\") + letter + ":"; }

Result classifyWin(uint32_t ioctlError, const SgExchange &x) {
    if (ioctlError == 0) return classify(0, x);
    Result r;
    r.osError = int(ioctlError);
    r.outcome =
        ioctlError == kErrorSemTimeout || ioctlError == kErrorTimeout ? Outcome::Timeout : Outcome::TransportError;
    return r;
}

WinPassthroughBackend::WinPassthroughBackend(WinSystemOps &os, Options options)
    : os_(os), options_(std::move(options)) {}

WinPassthroughBackend::~WinPassthroughBackend() { close(); }

void WinPassthroughBackend::log(const std::string &line) const {
    if (options_.log) options_.log(line);
}

bool WinPassthroughBackend::inquiry(Handle h, const std::string &path, Identity *id) {
    uint8_t cdb[6] = {kInquiry, 0, 0, 0, 36, 0};
    uint8_t data[36] = {};
    SgExchange x;
    x.cdb = cdb;
    x.cdbLength = sizeof cdb;
    x.direction = SgExchange::Direction::FromDevice;
    x.data = data;
    x.length = sizeof data;
    x.timeoutMs = options_.dataTimeoutMs;
    uint32_t error = os_.passThrough(h, x);
    Result r = classifyWin(error, x);
    Result shown = r;
    shown.osError = 0; // a Win32 code, not an errno: logged on its own
    log(describe(path, x, shown) + (error ? " win32-error=" + std::to_string(error) : std::string()));
    if (!succeeded(r) || x.residual > 0) return false;
    *id = identityFromInquiry(data, sizeof data);
    return true;
}

int32_t WinPassthroughBackend::open(const void *params) {
    close();
    const Wanted wanted = parseParams(params);
    bool refused = false;
    uint32_t disks = 0;
    for (uint32_t n = 0; n < options_.maxDrives; ++n) {
        const std::string path = physicalDrivePath(n);
        // The descriptor can be asked without access rights, so a disk that this
        // process may not open for raw access is still recognised.
        uint32_t error = 0;
        Handle query = os_.open(path, false, &error);
        if (query == kNoHandle) continue; // drive numbers have gaps where a disk was removed
        ++disks;
        StorageDescriptor d;
        error = os_.queryDescriptor(query, &d);
        os_.close(query);
        if (error != 0) {
            log(path + ": no storage descriptor (win32-error=" + std::to_string(error) + ")");
            continue;
        }
        if (!chosenByDescriptor(d, wanted, options_.known)) continue;
        Handle h = os_.open(path, true, &error);
        if (h == kNoHandle) {
            if (error == kErrorAccessDenied) {
                // Present, but this process is not elevated: the library then
                // logs in by file instead.
                log(path + ": raw access refused");
                refused = true;
            } else {
                log(path + ": cannot open (win32-error=" + std::to_string(error) + ")");
            }
            continue;
        }
        // The descriptor is what the system cached at arrival; ask the device itself.
        Identity id;
        if (!inquiry(h, path, &id)) {
            os_.close(h);
            continue;
        }
        bool ok = wanted.empty() ? isKnown(id, options_.known) : matchesWanted(id, wanted);
        if (!ok) {
            log(path + ": identification changed to " + id.vendor + "/" + id.product + "/" + id.revision);
            os_.close(h);
            continue;
        }
        handle_ = h;
        number_ = n;
        identity_ = id;
        log(path + ": opened " + id.vendor + "/" + id.product + "/" + id.revision);
        return SCSI_INIT_OK;
    }
    if (!refused)
        log("no disk matches " +
            (wanted.empty() ? std::string("the known controllers")
                            : wanted.vendor + "/" + wanted.product + "/" + wanted.revision) +
            " among " + std::to_string(disks) + " physical drives");
    return refused ? SCSI_INIT_RAW_REFUSED : SCSI_INIT_NO_DEVICE;
}

int32_t WinPassthroughBackend::close() {
    if (handle_ != kNoHandle) {
        os_.close(handle_);
        handle_ = kNoHandle;
    }
    return 1;
}

bool WinPassthroughBackend::send(const uint8_t *cdb, uint8_t cdbLength, SgExchange::Direction dir, void *data,
                                 uint32_t length, uint32_t timeoutMs) {
    if (handle_ == kNoHandle) return false;
    const std::string path = physicalDrivePath(number_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        SgExchange x;
        x.cdb = cdb;
        x.cdbLength = cdbLength;
        x.direction = length ? dir : SgExchange::Direction::None;
        x.data = data;
        x.length = length;
        x.timeoutMs = timeoutMs;
        uint32_t error = os_.passThrough(handle_, x);
        last_ = classifyWin(error, x);
        Result shown = last_;
        shown.osError = 0;
        log(describe(path, x, shown) + (error ? " win32-error=" + std::to_string(error) : std::string()));
        if (succeeded(last_)) return !(dir == SgExchange::Direction::FromDevice && x.residual > 0);
        // A device that was reset (as the reset command does) or had its medium
        // changed reports it once on the next command; that command is sent again.
        bool afterReset = last_.outcome == Outcome::UnitAttention &&
                          (last_.sense.asc == kAscResetOccurred || last_.sense.asc == kAscMediumChanged);
        if (!afterReset || attempt == 1) return false;
    }
    return false;
}

bool WinPassthroughBackend::sectorCommand(uint8_t opcode, uint32_t address, void *data) {
    uint8_t cdb[10] = {opcode};
    bo::putBE32(cdb + 2, address);
    bo::putBE16(cdb + 7, 1);
    auto dir = opcode == kRead10 ? SgExchange::Direction::FromDevice : SgExchange::Direction::ToDevice;
    uint32_t timeout = address >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return send(cdb, sizeof cdb, dir, data, kSector, timeout);
}

int32_t WinPassthroughBackend::readDisk(uint32_t address, uint32_t count, void *buffer) {
    if (handle_ == kNoHandle || !buffer || count == 0) return 0;
    uint8_t *out = static_cast<uint8_t *>(buffer);
    for (uint32_t i = 0; i < count; ++i)
        if (!sectorCommand(kRead10, address + i, out + size_t(i) * kSector)) return 0;
    return 1;
}

int32_t WinPassthroughBackend::writeDisk(uint32_t address, uint32_t count, const void *data) {
    if (handle_ == kNoHandle || !data || count == 0) return 0;
    const uint8_t *in = static_cast<const uint8_t *>(data);
    for (uint32_t i = 0; i < count; ++i)
        if (!sectorCommand(kWrite10, address + i, const_cast<uint8_t *>(in + size_t(i) * kSector))) return 0;
    return 1;
}

int32_t WinPassthroughBackend::readScsi(const uint8_t *cdb12, void *buffer, uint32_t length) {
    if (handle_ == kNoHandle || !cdb12 || (length && !buffer)) return 0;
    uint32_t timeout =
        bo::getBE32(cdb12 + 2) >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return send(cdb12, 12, SgExchange::Direction::FromDevice, buffer, length, timeout) ? 1 : 0;
}

int32_t WinPassthroughBackend::writeScsi(const uint8_t *cdb12, const void *data, uint32_t length) {
    if (handle_ == kNoHandle || !cdb12 || (length && !data)) return 0;
    uint32_t timeout =
        bo::getBE32(cdb12 + 2) >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return send(cdb12, 12, SgExchange::Direction::ToDevice, const_cast<void *>(data), length, timeout) ? 1 : 0;
}

int32_t WinPassthroughBackend::getDiskVolume(uint32_t /*value*/) {
    if (handle_ == kNoHandle) return 0;
    const uint32_t present = os_.logicalDrives();
    int32_t mask = 0;
    for (int i = 0; i < 26; ++i) {
        if (!(present & (1u << i))) continue;
        uint32_t error = 0;
        Handle v = os_.open(volumePath(char('A' + i)), false, &error);
        if (v == kNoHandle) continue;
        auto number = os_.deviceNumber(v);
        os_.close(v);
        if (number && *number == number_) mask |= int32_t(1u << i);
    }
    return mask;
}

int32_t WinPassthroughBackend::disMountDisk() {
    unmountFailures_.clear();
    if (handle_ == kNoHandle) return 0;
    const uint32_t mask = uint32_t(getDiskVolume(0));
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (1u << i))) continue;
        const char letter = char('A' + i);
        uint32_t error = 0;
        Handle v = os_.open(volumePath(letter), true, &error);
        if (v != kNoHandle) error = os_.lockAndDismount(v);
        // Closing the handle gives up the lock; the volume stays dismounted until
        // something opens it again, so the host's raw writes are let through.
        if (v != kNoHandle) os_.close(v);
        if (error != 0) {
            unmountFailures_ += letter;
            log(std::string("cannot dismount ") + letter + ": (win32-error=" + std::to_string(error) + ")");
        } else {
            log(std::string("dismounted ") + letter + ":");
        }
    }
    return unmountFailures_.empty() ? 1 : 0;
}

} // namespace passthrough::win
