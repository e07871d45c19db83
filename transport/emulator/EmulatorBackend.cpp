// The controller model: every command the host sends, carried out against the
// disk directory. State is loaded for each command and saved when it changed, so
// the directory is the device and any process can look at it between commands.
#include "EmulatorBackend.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "DiskFiles.h"
#include "FlashEmulator.h"
#include "ScsiTransport.h"
#include "Tables.h"
#include "Volumes.h"
#include "byteorder.h"
#include "table_layout.h"

namespace flashemu {
namespace {

namespace ad = cfgtbl::addr;

constexpr uint32_t kMaxScsiBytes = 65536;
constexpr uint32_t kOpRead10 = 0x28;
constexpr uint32_t kOpWrite10 = 0x2A;
constexpr uint32_t kWriteProtectBlocks = 3;
constexpr uint32_t kCommitBlocks = 8;

// The 40-byte parameter block of InitDisk: three NUL-terminated texts.
constexpr size_t kParamVendor = 0, kParamVendorLen = 12;
constexpr size_t kParamProduct = 12, kParamProductLen = 20;
constexpr size_t kParamVersion = 32, kParamVersionLen = 8;

std::string fieldText(const uint8_t *p, size_t width) {
    size_t n = 0;
    while (n < width && p[n]) ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

std::string trimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

bool identityMatches(const void *params, const DiskState &s) {
    if (!params) return true;
    const uint8_t *p = static_cast<const uint8_t *>(params);
    struct {
        std::string want, have;
    } fields[] = {{fieldText(p + kParamVendor, kParamVendorLen), s.vendor},
                  {fieldText(p + kParamProduct, kParamProductLen), s.product},
                  {fieldText(p + kParamVersion, kParamVersionLen), s.revision}};
    for (const auto &f : fields)
        if (!f.want.empty() && trimRight(f.want) != trimRight(f.have)) return false;
    return true;
}

enum class Cmd {
    Invalid,
    Data,
    DeviceInfo,
    InfoRead,
    InfoWrite,
    InfoTable,
    StoreTable,
    WholeDisk,
    Prepare,
    Login,
    Reset,
};

struct Decoded {
    Cmd cmd = Cmd::Invalid;
    uint32_t page = 0;
    uint32_t slot = 0;
};

// The address map of the controller. Write codes 8..11 overlap the table-store
// and table-sector addresses, which carry bits above any real page number.
Decoded decode(uint32_t a, bool write) {
    Decoded d;
    if (a < ad::kFirstVendor) {
        d.cmd = Cmd::Data;
        return d;
    }
    uint32_t code = a >> 26, page = a & 0x03FFFFFFu;
    if (!write) {
        if (a == ad::kDeviceInfo)
            d.cmd = Cmd::DeviceInfo;
        else if (code >= 4 && code <= 7 && page < kInfoPages)
            d = {Cmd::InfoRead, page, code - 4};
        return d;
    }
    if (a == ad::kStoreTable)
        d.cmd = Cmd::StoreTable;
    else if (a == ad::kWholeDiskTable)
        d.cmd = Cmd::WholeDisk;
    else if (a == ad::kBlockPrepare)
        d.cmd = Cmd::Prepare;
    else if (a == ad::kLogin)
        d.cmd = Cmd::Login;
    else if (a == ad::kReset)
        d.cmd = Cmd::Reset;
    else if (code == 8 && (page & ad::kInfoTableFlag) && (page & ~ad::kInfoTableFlag) < kInfoPages)
        d = {Cmd::InfoTable, page & ~ad::kInfoTableFlag, 0};
    else if (code >= 8 && code <= 11 && page < kInfoPages)
        d = {Cmd::InfoWrite, page, code - 8};
    return d;
}

const char *writeKind(Cmd c) {
    switch (c) {
    case Cmd::Data: return "data";
    case Cmd::InfoWrite: return "info";
    case Cmd::InfoTable: return "info-table";
    case Cmd::StoreTable: return "store-table";
    case Cmd::WholeDisk: return "whole-disk";
    case Cmd::Prepare: return "prepare";
    case Cmd::Login: return "login";
    case Cmd::Reset: return "reset";
    default: return "";
    }
}

LogEntry entry(const char *op, uint32_t address = 0, uint32_t count = 0, uint32_t length = 0) {
    LogEntry e;
    e.op = op;
    e.address = address;
    e.count = count;
    e.length = length;
    return e;
}

bool allErased(const uint8_t *p) {
    for (uint32_t i = 0; i < kSector; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

class EmulatorDevice final : public EmulatedDisk {
public:
    // holdForHost: opened by a host program through SCSI.dll, which holds the
    // disk from InitDisk to DiskFree as an exclusive open holds a real one. The
    // device's own face (the gadget, the platform's writes) holds nothing.
    EmulatorDevice(std::string dir, bool holdForHost) : dir_(std::move(dir)), holdForHost_(holdForHost) {}

    int32_t open(const void *params) override {
        DiskLock hold(dir_);
        LogEntry e = entry("InitDisk");
        if (params) // kept so a rig can see which identity the host asked for
            e.data.assign(static_cast<const uint8_t *>(params), static_cast<const uint8_t *>(params) + 40);
        DiskState s;
        int32_t r = SCSI_INIT_NO_DEVICE;
        opened_ = false;
        writer_.reset();
        if (loadState(dir_, &s)) {
            if (s.faults.absent || !identityMatches(params, s)) {
                r = SCSI_INIT_NO_DEVICE;
            } else if (holdForHost_ && !s.faults.refuseRawAccess &&
                       !(writer_ = std::make_unique<WriterLock>(dir_))->held()) {
                // Another program has it open. A process refused raw access
                // never gets as far as holding the disk.
                r = SCSI_INIT_BUSY;
            } else {
                // A host opening the device does not touch the controller's
                // state: a login holds until a reset or a replug. Only a device
                // that dropped off the bus (dismounted after a format, or still
                // on the whole-disk table) comes back afresh, as it re-enumerates.
                if (s.dismounted || s.wholeDisk) restartController(dir_, &s);
                takePendingLogin(&s);
                if (s.faults.refuseRawAccess) {
                    r = SCSI_INIT_RAW_REFUSED;
                } else {
                    r = SCSI_INIT_OK;
                    opened_ = true;
                }
                saveState(dir_, s);
                publishDrives(dir_, s);
            }
            e.result = r;
            if (s.logging) appendLog(dir_, e);
        }
        if (r != SCSI_INIT_OK) writer_.reset();
        return r;
    }

    int32_t close() override {
        DiskLock hold(dir_);
        DiskState s;
        if (loadState(dir_, &s) && s.logging) {
            LogEntry e = entry("DiskFree");
            e.result = 1;
            appendLog(dir_, e);
        }
        opened_ = false;
        writer_.reset();
        return 1;
    }

    int32_t readDisk(uint32_t address, uint32_t count, void *buffer) override {
        LogEntry e = entry("ReadDisk", address, count, uint32_t(count <= 0xFFFFFFFFu / kSector ? count * kSector : 0));
        return run(e, [&](DiskState &s) { return readCommand(s, address, count, static_cast<uint8_t *>(buffer)); });
    }

    int32_t writeDisk(uint32_t address, uint32_t count, const void *data) override {
        LogEntry e = entry("WriteDisk", address, count, uint32_t(count <= 0xFFFFFFFFu / kSector ? count * kSector : 0));
        if (address >= ad::kFirstVendor && data && count == 1)
            e.data.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + kSector);
        auto body = [&](DiskState &s) { return writeCommand(s, address, count, static_cast<const uint8_t *>(data)); };
        return run(e, body, address < ad::kFirstVendor);
    }

    int32_t readScsi(const uint8_t *cdb, void *buffer, uint32_t length) override {
        LogEntry e = entry("ReadScsi");
        e.length = length;
        uint32_t address = 0, blocks = 0;
        bool cdbOk = parseCdb(cdb, kOpRead10, length, &e, &address, &blocks);
        return run(e, [&](DiskState &s) {
            if (!cdbOk || !buffer) return false;
            uint8_t *out = static_cast<uint8_t *>(buffer);
            if (address == ad::kWriteProtect && blocks == kWriteProtectBlocks) {
                if (!ready(s)) return false;
                // The switch answers with a status block the host discards.
                std::memset(out, 0, length);
                s.faults.writeProtected = !s.faults.writeProtected;
                dirty_ = true;
                republish_ = true;
                return true;
            }
            if (address >= ad::kFirstVendor && blocks != 1) return false;
            return readCommand(s, address, blocks, out);
        });
    }

    int32_t writeScsi(const uint8_t *cdb, const void *data, uint32_t length) override {
        LogEntry e = entry("WriteScsi");
        e.length = length;
        uint32_t address = 0, blocks = 0;
        bool cdbOk = parseCdb(cdb, kOpWrite10, length, &e, &address, &blocks);
        const uint8_t *in = static_cast<const uint8_t *>(data);
        if (cdbOk && in && address >= ad::kFirstVendor) e.data.assign(in, in + length);
        auto body = [&](DiskState &s) {
            if (!cdbOk || !in) return false;
            if (address == ad::kCommit && blocks == kCommitBlocks) {
                if (!ready(s) || failWrite(s, "commit")) return false;
                std::string bytes(reinterpret_cast<const char *>(in), length);
                if (!writeFileAtomic(commitPath(dir_), bytes)) return false;
                ++s.commits;
                dirty_ = true;
                return true;
            }
            if (address >= ad::kFirstVendor && blocks != 1) return false;
            return writeCommand(s, address, blocks, in);
        };
        return run(e, body, cdbOk && address < ad::kFirstVendor);
    }

    int32_t getDiskVolume(uint32_t value) override {
        LogEntry e = entry("GetDiskVolume", value);
        DiskLock hold(dir_);
        DiskState s;
        if (!loadState(dir_, &s)) return 0;
        // The drive letters the device shows now, bit 4 for E:.
        int32_t mask = 0;
        if (!s.faults.absent) {
            View v = currentView(s);
            if (v.first) mask |= 1 << 4;
            if (v.second) mask |= 1 << (v.first ? 5 : 4);
        }
        e.result = mask;
        if (s.logging) appendLog(dir_, e);
        return mask;
    }

    void lockMedium(bool locked) override { mediumLocked_ = locked; }

    void hostCommand() override {
        if (mediumLocked_) return;
        DiskLock hold(dir_);
        DiskState s;
        if (loadState(dir_, &s) && takePendingLogin(&s) && saveState(dir_, s)) publishDrives(dir_, s);
    }

    bool identity(Identity *out) override {
        DiskState s;
        if (!out || !loadState(dir_, &s)) return false;
        *out = {s.vendor, s.product, s.revision};
        return true;
    }

    std::array<UnitView, 2> units() override {
        DiskLock hold(dir_);
        DiskState s;
        std::array<UnitView, 2> out{};
        if (!loadState(dir_, &s)) return out;
        for (unsigned u = 0; u < out.size(); ++u) {
            if (auto v = unitVolume(s, u))
                out[u] = {true, v->start, v->length, v->readOnly || s.faults.writeProtected, v->cdrom};
        }
        return out;
    }

    UnitResult readUnit(unsigned unit, uint64_t first, uint32_t count, uint8_t *out) override {
        LogEntry e = entry(unit ? "ReadUnit1" : "ReadUnit0", uint32_t(first), count, count * kSector);
        UnitResult r = UnitResult::Failed;
        run(e, [&](DiskState &s) { return (r = unitRead(s, unit, first, count, out)) == UnitResult::Ok; });
        return r;
    }

    UnitResult writeUnit(unsigned unit, uint64_t first, uint32_t count, const uint8_t *in) override {
        LogEntry e = entry(unit ? "WriteUnit1" : "WriteUnit0", uint32_t(first), count, count * kSector);
        UnitResult r = UnitResult::Failed;
        auto body = [&](DiskState &s) { return (r = unitWrite(s, unit, first, count, in)) == UnitResult::Ok; };
        run(e, body, unit == 0);
        return r;
    }

    int32_t disMountDisk() override {
        LogEntry e = entry("DisMountDisk");
        return run(e, [&](DiskState &s) {
            if (s.faults.absent) return false;
            s.dismounted = true;
            dirty_ = true;
            republish_ = true;
            return true;
        });
    }

private:
    // Runs one command against freshly loaded state; saves, republishes and logs.
    // Any command but a data write into the first volume lets a login noticed
    // from a file take effect first.
    template <typename F> int32_t run(LogEntry &e, F &&body, bool writesFirstVolume = false) {
        DiskLock hold(dir_);
        DiskState s;
        if (!loadState(dir_, &s)) return 0;
        dirty_ = false;
        republish_ = false;
        if (!writesFirstVolume && !mediumLocked_ && takePendingLogin(&s)) dirty_ = republish_ = true;
        bool ok = body(s);
        if (dirty_) ok = saveState(dir_, s) && ok;
        if (republish_) publishDrives(dir_, s);
        e.result = ok ? 1 : 0;
        if (s.logging) appendLog(dir_, e);
        return e.result;
    }

    static bool parseCdb(const uint8_t *cdb, uint32_t opcode, uint32_t length, LogEntry *e, uint32_t *address,
                         uint32_t *blocks) {
        if (!cdb) return false;
        e->hasCdb = true;
        std::memcpy(e->cdb.data(), cdb, e->cdb.size());
        *address = bo::getBE32(cdb + 2);
        *blocks = bo::getBE16(cdb + 7);
        e->address = *address;
        e->count = *blocks;
        return cdb[0] == opcode && *blocks != 0 && length == *blocks * kSector && length <= kMaxScsiBytes;
    }

    bool ready(const DiskState &s) const { return opened_ && !s.faults.absent && !s.faults.refuseRawAccess; }

    bool failWrite(DiskState &s, const char *kind) {
        const Faults &f = s.faults;
        if (f.failKind.empty() || f.failNth == 0 || (f.failKind != kind && f.failKind != "any")) return false;
        ++s.writesOfKind;
        dirty_ = true;
        return s.writesOfKind == f.failNth;
    }

    bool failRead(DiskState &s, const char *kind) {
        const Faults &f = s.faults;
        if (f.failReadKind.empty() || f.failReadNth == 0 || (f.failReadKind != kind && f.failReadKind != "any"))
            return false;
        ++s.readsOfKind;
        dirty_ = true;
        return s.readsOfKind == f.failReadNth;
    }

    bool readCommand(DiskState &s, uint32_t address, uint32_t count, uint8_t *out) {
        if (!ready(s) || !out || count == 0) return false;
        Decoded d = decode(address, false);
        if (d.cmd == Cmd::Data) return readData(s, address, count, out);
        if (count != 1) return false;
        switch (d.cmd) {
        case Cmd::DeviceInfo: {
            if (failRead(s, "device-info")) return false;
            auto info = deviceInfo(s);
            std::memcpy(out, info.data(), info.size());
            return true;
        }
        case Cmd::InfoRead: {
            bool candidate = d.slot == 0 && d.page % cfgtbl::kCandidateStep == 0 &&
                             d.page < cfgtbl::kCandidateCount * cfgtbl::kCandidateStep;
            if (failRead(s, candidate ? "table" : "info")) return false;
            return readInfo(dir_, d.page, d.slot, out);
        }
        default: return false;
        }
    }

    bool readData(DiskState &s, uint32_t address, uint32_t count, uint8_t *out) {
        View v = currentView(s);
        if (!v.first || uint64_t(address) + count > v.first->length) return false;
        if (failRead(s, "data")) return false;
        return readSectors(dir_, v.first->start + address, count, out);
    }

    bool writeCommand(DiskState &s, uint32_t address, uint32_t count, const uint8_t *in) {
        if (!ready(s) || !in || count == 0) return false;
        Decoded d = decode(address, true);
        if (d.cmd == Cmd::Invalid) return false;
        if (d.cmd != Cmd::Data && count != 1) return false;
        if (d.cmd == Cmd::Data) {
            View v = currentView(s);
            if (!v.first || v.first->readOnly || s.faults.writeProtected || uint64_t(address) + count > v.first->length)
                return false;
            return writeData(s, v.first->start + address, count, in);
        }
        if (failWrite(s, writeKind(d.cmd))) return false;
        switch (d.cmd) {
        case Cmd::InfoWrite:
        case Cmd::InfoTable:
            if (!program(s, d.page, d.slot, in)) return false;
            // The controller keeps the password of the table it last stored: a
            // password change counts at once, the layout only at its next start.
            if (s.haveTable && tableKind(in) == Kind::Version) {
                std::memcpy(s.table.data() + cfgtbl::kDigest, in + cfgtbl::kDigest, 16);
                dirty_ = true;
            }
            return true;
        case Cmd::Prepare: return prepare(s, in);
        case Cmd::StoreTable:
            if (tableKind(in) == Kind::None) return false;
            std::memcpy(s.table.data(), in, kSector);
            s.haveTable = true;
            dirty_ = republish_ = true;
            return true;
        case Cmd::WholeDisk:
            if (tableKind(in) == Kind::None) return false;
            s.wholeDisk = true;
            dirty_ = republish_ = true;
            return true;
        case Cmd::Login: return login(s, in + 16);
        case Cmd::Reset:
            restartController(dir_, &s);
            dirty_ = republish_ = true;
            return true;
        default: return false;
        }
    }

    // Flash programs only erased cells; strict mode refuses to program over
    // written data, so a host that skips the block prepare is caught.
    bool program(DiskState &s, uint32_t page, uint32_t slot, const uint8_t *in) {
        uint8_t cur[kSector];
        if (!readInfo(dir_, page, slot, cur)) return false;
        if (s.faults.strictPrepare && !allErased(cur)) return false;
        return writeInfo(dir_, page, slot, in);
    }

    // A prepare readies the information block that starts at the named page for
    // programming. Hosts name one block (count 1) even where a table with its
    // information sectors runs into the next erase block, and real controllers
    // take that: they erase every block the information block occupies.
    bool prepare(const DiskState &s, const uint8_t *rec) {
        uint32_t block = bo::getLE32(rec + 4), count = bo::getLE32(rec + 8);
        if (rec[0] != 0 || rec[1] != 1 || count == 0 || s.blockUnit == 0) return false;
        const uint64_t blocks = std::max<uint64_t>(count, blocksOfInformationBlock(s));
        const uint64_t pages = blocks * s.blockUnit;
        if (block >= kInfoPages || pages > kInfoPages - block) return false;
        return eraseInfoPages(dir_, block, uint32_t(pages));
    }

    // Erase blocks one information block takes: its table page and the pages of
    // the information sectors that the controller's own table names, or of the
    // largest table it takes (16 sectors) while it holds none.
    static uint32_t blocksOfInformationBlock(const DiskState &s) {
        constexpr uint32_t kLargestInfoSectors = 16;
        uint32_t sectors = kLargestInfoSectors;
        if (s.haveTable && tableKind(s.table.data()) == Kind::Version) sectors = s.table[cfgtbl::kInfoSectors];
        if (s.haveTable && tableKind(s.table.data()) == Kind::Maker) sectors = s.table[cfgtbl::kMakerInfoSectors];
        const uint32_t perPage = std::max<uint32_t>(1, pageSectors(s.pageSectorsRaw, s.pageFlagBit0));
        const uint32_t pages = 1 + (sectors + perPage - 1) / perPage;
        return (pages + s.blockUnit - 1) / s.blockUnit;
    }

    bool login(DiskState &s, const uint8_t *digest) {
        if (!s.haveTable) return false;
        Layout l = readLayout(s.table.data());
        static const std::array<uint8_t, 16> kNone{};
        // A table without a password holds a zero digest; nothing opens that.
        if (!cfgtbl::isSecureLayout(l.kind) || l.digest == kNone || std::memcmp(l.digest.data(), digest, 16) != 0)
            return false;
        if (!s.loggedIn) {
            s.loggedIn = true;
            dirty_ = republish_ = true;
        }
        return true;
    }

    // Sectors of a presented volume, checked by the caller, written as the host
    // wrote them.
    bool writeData(DiskState &s, uint64_t first, uint32_t count, const uint8_t *in) {
        if (failWrite(s, "data")) return false;
        republish_ = true; // a new partition table moves the mounted volume
        if (!writeSectors(dir_, first, count, in)) return false;
        if (noticeLoginFile(dir_, &s, first, count)) dirty_ = true;
        return true;
    }

    static std::optional<Volume> unitVolume(const DiskState &s, unsigned unit) {
        View v = currentView(s);
        return unit == 0 ? v.first : unit == 1 ? v.second : std::nullopt;
    }

    UnitResult unitRead(DiskState &s, unsigned unit, uint64_t first, uint32_t count, uint8_t *out) {
        auto v = unitVolume(s, unit);
        if (!v) return UnitResult::NoMedium;
        if (!out || count == 0 || count > kMaxUnitSectors) return UnitResult::Failed;
        if (first > v->length || count > v->length - first) return UnitResult::OutOfRange;
        if (failRead(s, "data")) return UnitResult::Failed;
        return readSectors(dir_, v->start + first, count, out) ? UnitResult::Ok : UnitResult::Failed;
    }

    UnitResult unitWrite(DiskState &s, unsigned unit, uint64_t first, uint32_t count, const uint8_t *in) {
        auto v = unitVolume(s, unit);
        if (!v) return UnitResult::NoMedium;
        if (!in || count == 0 || count > kMaxUnitSectors) return UnitResult::Failed;
        if (v->readOnly || s.faults.writeProtected) return UnitResult::WriteProtected;
        if (first > v->length || count > v->length - first) return UnitResult::OutOfRange;
        return writeData(s, v->start + first, count, in) ? UnitResult::Ok : UnitResult::Failed;
    }

    std::array<uint8_t, 512> deviceInfo(const DiskState &s) const { return buildDeviceInfo(s); }

    std::string dir_;
    bool holdForHost_ = true;
    bool mediumLocked_ = false;
    bool opened_ = false;
    std::unique_ptr<WriterLock> writer_; // from open to close, as a real disk is held
    bool dirty_ = false;
    bool republish_ = false;
};

} // namespace

std::unique_ptr<EmulatedDisk> makeEmulatedDisk(const std::string &dir) {
    return std::make_unique<EmulatorDevice>(dir, false);
}

std::unique_ptr<scsi::Backend> makeEmulatorBackend(const std::string &dir) {
    return std::make_unique<EmulatorDevice>(dir, true);
}

} // namespace flashemu
