#include "PassthroughBackend.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "ScsiTransport.h"
#include "byteorder.h"
#include "file_io.h"
#include "table_layout.h"

namespace passthrough {
namespace {

constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kInquiry = 0x12;
constexpr uint32_t kSector = 512;
constexpr uint32_t kFirstVendorAddress = 0x10000000u;
constexpr uint8_t kAscResetOccurred = 0x29;
constexpr uint8_t kAscMediumChanged = 0x28;

std::string identityText(const Identity &id) { return id.vendor + "/" + id.product + "/" + id.revision; }

bool namesDevice(const DiskEntry &d, const std::string &node) {
    return std::find(d.names.begin(), d.names.end(), node) != d.names.end();
}

std::string joined(const std::vector<std::string> &list) {
    std::string s;
    for (const auto &item : list) s += (s.empty() ? "" : ", ") + item;
    return s;
}

std::string getenvText(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

} // namespace

Options optionsFromEnvironment(const std::string &libraryDirectory) {
    Options o;
    std::string path = getenvText(kKnownEnv);
    if (path.empty()) path = libraryDirectory + "/" + kKnownFile;
    std::string text;
    if (fileio::readWholeFile(path, &text)) o.known = parseKnownControllers(text);
    o.device = getenvText(kDeviceEnv);
    const std::string target = getenvText(kLogEnv);
    if (target == "stderr" || target == "1") {
        o.log = [](const std::string &line) { std::fprintf(stderr, "SCSI.dll: %s\n", line.c_str()); };
    } else if (!target.empty()) {
        o.log = [target](const std::string &line) {
            if (FILE *f = std::fopen(target.c_str(), "ab")) {
                std::fprintf(f, "%s\n", line.c_str());
                std::fclose(f);
            }
        };
    }
    return o;
}

PassthroughBackend::PassthroughBackend(DiskSystem &system, Options options)
    : sys_(system), options_(std::move(options)) {}

PassthroughBackend::~PassthroughBackend() { close(); }

void PassthroughBackend::log(const std::string &line) const {
    if (options_.log) options_.log(line);
}

std::vector<DiskEntry> PassthroughBackend::eligible(const Wanted &wanted, std::string *why) {
    const std::string named = options_.device.empty() ? std::string() : sys_.canonicalNode(options_.device);
    std::vector<DiskEntry> out;
    std::string reason;
    size_t seen = 0;
    for (DiskEntry &d : sys_.listDisks()) {
        if (!named.empty() && !namesDevice(d, named)) continue;
        ++seen;
        // Only USB disks of a controller we know are ever opened: a fixed disk
        // of the machine may wear the flash disk's identity (or the identity
        // the parameter block asks for), and one vendor write would ruin it.
        if (!d.usb)
            reason = d.node + " is not a USB disk";
        else if (!isKnown(d.identity, options_.known))
            reason = d.node + " (" + identityText(d.identity) + ") is not a flash disk of a known controller";
        else if (!matchesWanted(d.identity, wanted))
            reason = d.node + " (" + identityText(d.identity) + ") is not the identity asked for (" +
                     identityText({wanted.vendor, wanted.product, wanted.revision}) + ")";
        else
            out.push_back(std::move(d));
    }
    if (!named.empty() && out.empty()) {
        if (seen == 0) reason = options_.device + " is not a disk of this machine";
        log(std::string(kDeviceEnv) + "=" + options_.device + ": " + reason);
        if (why) *why = reason;
    }
    return out;
}

Candidate PassthroughBackend::probe(const DiskEntry &d, const Wanted &wanted, bool keep) {
    Candidate c{d, Candidate::State::Silent, {}};
    drop();
    std::string why;
    switch (sys_.open(d, &handle_, &why)) {
    case OpenStatus::Opened: break;
    case OpenStatus::Refused:
        // Present, but this process may not send it raw commands: the library
        // then logs in by file instead.
        c.state = Candidate::State::Refused;
        c.detail = why;
        log(d.node + ": raw access refused (" + why + ")");
        return c;
    case OpenStatus::Busy:
        c.state = Candidate::State::Busy;
        c.detail = joined(sys_.holders(d.node));
        log(d.node + ": in use by another program" + (c.detail.empty() ? "" : " (" + c.detail + ")"));
        return c;
    case OpenStatus::Failed: log(d.node + ": cannot open (" + why + ")"); return c;
    }
    disk_ = d;
    // The system's identification is what it read at arrival; ask the device
    // itself, and ask it as only our controller answers.
    Identity id;
    std::array<uint8_t, kSector> info{};
    bool ours = false;
    if (!inquiry(&id))
        log(d.node + ": does not answer INQUIRY");
    else if (!isKnown(id, options_.known) || !matchesWanted(id, wanted))
        log(d.node + ": identification changed to " + identityText(id));
    else if (!sectorCommand(kRead10, cfgtbl::addr::kDeviceInfo, info.data()))
        log(d.node + ": does not answer the device-information read");
    else
        ours = true;
    if (!ours) {
        drop();
        return c;
    }
    c.state = Candidate::State::Ready;
    c.disk.identity = id;
    disk_.identity = id;
    if (!keep) drop();
    return c;
}

std::vector<Candidate> PassthroughBackend::survey(const Wanted &wanted) {
    close();
    std::vector<Candidate> out;
    for (const DiskEntry &d : eligible(wanted)) {
        Candidate c = probe(d, wanted, false);
        if (c.state != Candidate::State::Silent) out.push_back(c);
    }
    return out;
}

int32_t PassthroughBackend::open(const void *params) {
    close();
    const Wanted wanted = parseParams(params);
    bool refused = false, busy = false;
    const auto disks = eligible(wanted);
    if (disks.empty() && options_.device.empty())
        log("no USB disk of a known controller matches " +
            (wanted.empty() ? std::string("an empty parameter block")
                            : identityText({wanted.vendor, wanted.product, wanted.revision})));
    for (const DiskEntry &d : disks) {
        Candidate c = probe(d, wanted, true);
        if (c.state == Candidate::State::Ready) {
            log(d.node + ": opened " + identityText(c.disk.identity));
            return SCSI_INIT_OK;
        }
        refused = refused || c.state == Candidate::State::Refused;
        busy = busy || c.state == Candidate::State::Busy;
    }
    return refused ? SCSI_INIT_RAW_REFUSED : busy ? SCSI_INIT_BUSY : SCSI_INIT_NO_DEVICE;
}

void PassthroughBackend::drop() {
    if (handle_ != kNoHandle) sys_.close(handle_);
    handle_ = kNoHandle;
}

int32_t PassthroughBackend::close() {
    drop();
    sys_.releaseVolumes();
    volumesDown_ = false;
    wholeDiskSent_ = false;
    return 1;
}

bool PassthroughBackend::inquiry(Identity *id) {
    uint8_t cdb[6] = {kInquiry, 0, 0, 0, 36, 0};
    uint8_t data[36] = {};
    if (!send(cdb, sizeof cdb, SgExchange::Direction::FromDevice, data, sizeof data, options_.dataTimeoutMs))
        return false;
    *id = identityFromInquiry(data, sizeof data);
    return true;
}

bool PassthroughBackend::send(const uint8_t *cdb, uint8_t cdbLength, SgExchange::Direction dir, void *data,
                              uint32_t length, uint32_t timeoutMs) {
    if (handle_ == kNoHandle) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SgExchange x;
        x.cdb = cdb;
        x.cdbLength = cdbLength;
        x.direction = length ? dir : SgExchange::Direction::None;
        x.data = data;
        x.length = length;
        x.timeoutMs = timeoutMs;
        std::string note;
        last_ = sys_.exchange(handle_, x, &note);
        log(describe(disk_.node, x, last_, note));
        // A command that ends well with fewer bytes than asked for moved part
        // of a sector: the rest of a read buffer is stale, the rest of a write
        // never reached the disk.
        if (succeeded(last_)) return x.residual == 0;
        // A device that was reset (as the reset command does) or had its medium
        // changed reports it once on the next command; that command is sent again.
        bool afterReset = last_.outcome == Outcome::UnitAttention &&
                          (last_.sense.asc == kAscResetOccurred || last_.sense.asc == kAscMediumChanged);
        // The device says so once, to whoever asks first; this time that was
        // us, so the system's own disk driver never heard of the new medium.
        if (afterReset && !wholeDiskSent_) tellSystem();
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
    if (opcode == kWrite10) return mediaCommand(cdb, sizeof cdb, data, kSector, timeout);
    return send(cdb, sizeof cdb, dir, data, kSector, timeout);
}

bool PassthroughBackend::takeVolumesDown() {
    unmountFailures_ = unmountVolumes(sys_, disk_, options_.log);
    return unmountFailures_.empty();
}

// Commands after which the device shows other media on its units: the
// whole-disk table, a login (the secure area takes the login volume's place)
// and a reset (the stored layout, logged out).
static bool changesMedia(uint32_t address) {
    return address == cfgtbl::addr::kWholeDiskTable || address == cfgtbl::addr::kLogin ||
           address == cfgtbl::addr::kReset;
}

void PassthroughBackend::tellSystem() {
    if (!sys_.refresh(disk_))
        log("the system could not be made to read the disk again: it shows the old medium until the disk is "
            "replugged");
}

bool PassthroughBackend::readyToWrite(uint32_t address) {
    // A mounted file system keeps its own idea of the disk and writes its cached
    // data back whenever it likes; after a change of medium or over new
    // sectors, that would land on the new layout.
    const bool wholeDisk = address == cfgtbl::addr::kWholeDiskTable;
    if (!changesMedia(address) && (address >= kFirstVendorAddress || volumesDown_)) return true;
    if (!takeVolumesDown()) {
        char at[16];
        std::snprintf(at, sizeof at, "0x%08X", address);
        log(std::string("write at ") + at + " refused: a volume of the disk stays mounted");
        return false;
    }
    // The whole-disk table makes the device show one new volume, which the
    // desktop may mount at once: look again before the first sector goes out.
    volumesDown_ = !wholeDisk && address < kFirstVendorAddress;
    if (wholeDisk) wholeDiskSent_ = true;
    return true;
}

bool PassthroughBackend::mediaCommand(const uint8_t *cdb, uint8_t cdbLength, void *data, uint32_t length,
                                      uint32_t timeoutMs) {
    const uint32_t address = bo::getBE32(cdb + 2);
    if (!send(cdb, cdbLength, SgExchange::Direction::ToDevice, data, length, timeoutMs)) return false;
    // A login or a reset changes what the units show at once. The kernel's disk
    // driver learns of a new medium only from the device's unit attention, which
    // our next command would take; told now, it reads the units again. (After the
    // whole-disk table the format goes on and the disk is replugged after it.)
    if (address == cfgtbl::addr::kLogin || address == cfgtbl::addr::kReset) tellSystem();
    return true;
}

int32_t PassthroughBackend::readDisk(uint32_t address, uint32_t count, void *buffer) {
    if (handle_ == kNoHandle || !buffer || count == 0) return 0;
    uint8_t *out = static_cast<uint8_t *>(buffer);
    for (uint32_t i = 0; i < count; ++i)
        if (!sectorCommand(kRead10, address + i, out + size_t(i) * kSector)) return 0;
    return 1;
}

int32_t PassthroughBackend::writeDisk(uint32_t address, uint32_t count, const void *data) {
    if (handle_ == kNoHandle || !data || count == 0) return 0;
    if (!readyToWrite(address)) return 0;
    const uint8_t *in = static_cast<const uint8_t *>(data);
    for (uint32_t i = 0; i < count; ++i)
        if (!sectorCommand(kWrite10, address + i, const_cast<uint8_t *>(in + size_t(i) * kSector))) return 0;
    return 1;
}

int32_t PassthroughBackend::readScsi(const uint8_t *cdb12, void *buffer, uint32_t length) {
    if (handle_ == kNoHandle || !cdb12 || (length && !buffer)) return 0;
    uint32_t timeout =
        bo::getBE32(cdb12 + 2) >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return send(cdb12, 12, SgExchange::Direction::FromDevice, buffer, length, timeout) ? 1 : 0;
}

int32_t PassthroughBackend::writeScsi(const uint8_t *cdb12, const void *data, uint32_t length) {
    if (handle_ == kNoHandle || !cdb12 || (length && !data)) return 0;
    const uint32_t address = bo::getBE32(cdb12 + 2);
    if (!readyToWrite(address)) return 0;
    uint32_t timeout = address >= kFirstVendorAddress ? options_.vendorTimeoutMs : options_.dataTimeoutMs;
    return mediaCommand(cdb12, 12, const_cast<void *>(data), length, timeout) ? 1 : 0;
}

int32_t PassthroughBackend::getDiskVolume(uint32_t /*value*/) {
    if (handle_ == kNoHandle) return 0;
    return int32_t(sys_.driveMask(disk_));
}

int32_t PassthroughBackend::disMountDisk() {
    unmountFailures_.clear();
    if (handle_ == kNoHandle) return 0;
    return takeVolumesDown() ? 1 : 0;
}

std::vector<std::string> unmountVolumes(DiskSystem &system, const DiskEntry &disk,
                                        const std::function<void(const std::string &)> &log) {
    std::vector<std::string> failures;
    for (const MountedVolume &v : system.mountedVolumes(disk)) {
        std::string message;
        const std::string name = v.device + (v.mountPoint.empty() ? "" : " (" + v.mountPoint + ")");
        if (system.unmount(v, &message)) {
            if (log) log("unmounted " + name);
            continue;
        }
        std::string held = joined(system.holders(v.mountPoint.empty() ? v.device : v.mountPoint));
        failures.push_back(name + ": " + (message.empty() ? "cannot be unmounted" : message) +
                           (held.empty() ? "" : "; held by " + held));
        if (log) log("cannot unmount " + failures.back());
    }
    return failures;
}

std::vector<std::string> unmountBeforeFormat(DiskSystem &system, const DiskEntry &disk) {
    auto stays = unmountVolumes(system, disk);
    system.releaseVolumes();
    return stays;
}

} // namespace passthrough
