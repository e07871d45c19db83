// The rig's side of the emulated disk: making a disk, setting its faults, and
// looking at it the way a test bench looks at a device, without sending commands.
#include "FlashEmulator.h"

#include <algorithm>
#include <cstring>

#include "DiskFiles.h"
#include "EmulatorBackend.h"
#include "Tables.h"
#include "Volumes.h"
#include "file_io.h"
#include "text_io.h"

namespace flashemu {

namespace {

bool setError(std::string *error, const std::string &why) {
    if (error) *error = why;
    return false;
}

std::string padded(const std::string &s, size_t width) {
    std::string r = s.substr(0, width);
    r.resize(width, ' ');
    return r;
}

// Sets the live state through a load-modify-save, republishing what the host sees.
template <typename F> bool update(const std::string &dir, F &&change) {
    DiskLock hold(dir);
    DiskState s;
    if (!loadState(dir, &s)) return false;
    change(s);
    if (!saveState(dir, s)) return false;
    publishDrives(dir, s);
    return true;
}

bool makeSizedFile(const std::string &path, uint64_t length) {
    fileio::File f;
    if (!f.open(path, fileio::File::Mode::CreateReadWrite) || !f.resize(0) || !f.resize(length)) return false;
    return f.close();
}

} // namespace

std::string dataImagePath(const std::string &dir) { return joinPath(dir, kDataImageName); }

std::string drivesPath(const std::string &dir) { return joinPath(dir, "drives"); }

std::string diskOfImage(const std::string &image) {
    size_t cut = image.find_last_of("/\\");
    if (cut == std::string::npos || image.substr(cut + 1) != kDataImageName) return {};
    std::string folder = image.substr(0, cut);
    return isDisk(folder) ? folder : std::string();
}

bool createDisk(const std::string &dir, const DiskOptions &o, std::string *error) {
    if (o.sectors == 0) return setError(error, "capacity of 0 sectors");
    if (o.blockUnit == 0) return setError(error, "block unit of 0 pages");
    if (!fileio::createDirectories(dir)) return setError(error, "cannot create the folder " + dir);
    DiskLock hold(dir, true);
    // A replaced disk starts from nothing: old sectors, information area and log go.
    for (const std::string &p :
         {dataImagePath(dir), infoImagePath(dir), logPath(dir), commitPath(dir), drivesPath(dir), confPath(dir)})
        fileio::removeFile(p);

    // Both images are sized without writing: the never-written tail reads as
    // zeros (holes on Linux; past the valid data on Windows).
    if (!makeSizedFile(dataImagePath(dir), uint64_t(o.sectors) * kSector))
        return setError(error, "cannot create the data image");
    if (!makeSizedFile(infoImagePath(dir), uint64_t(kInfoPages) * kInfoSlots * kSector))
        return setError(error, "cannot create the information image");
    if (!writeFactoryTable(dir, o, error)) return false;

    DiskState s;
    s.sectors = o.sectors;
    s.pageSectorsRaw = o.pageSectorsRaw;
    s.pageFlagBit0 = o.pageFlagBit0;
    s.blockUnit = o.blockUnit;
    s.vendor = padded(o.vendor, 8);
    s.product = padded(o.product, 16);
    s.revision = padded(o.revision, 4);
    auto t = scanActiveTable(dir, pageSectors(s.pageSectorsRaw, s.pageFlagBit0));
    s.haveTable = t.has_value();
    if (t) s.table = *t;
    if (!saveState(dir, s)) return setError(error, "cannot write " + confPath(dir));
    publishDrives(dir, s);
    return true;
}

bool isDisk(const std::string &dir) {
    DiskState s;
    return loadState(dir, &s);
}

bool setFaults(const std::string &dir, const Faults &faults) {
    return update(dir, [&](DiskState &s) {
        // A new plan of faults counts its writes and reads from one again.
        if (faults.failKind != s.faults.failKind || faults.failNth != s.faults.failNth) s.writesOfKind = 0;
        if (faults.failReadKind != s.faults.failReadKind || faults.failReadNth != s.faults.failReadNth)
            s.readsOfKind = 0;
        s.faults = faults;
    });
}

bool getFaults(const std::string &dir, Faults *faults) {
    DiskState s;
    if (!faults || !loadState(dir, &s)) return false;
    *faults = s.faults;
    return true;
}

bool setLogging(const std::string &dir, bool on) {
    DiskLock hold(dir);
    DiskState s;
    if (!loadState(dir, &s)) return false;
    s.logging = on;
    return saveState(dir, s);
}

std::vector<LogEntry> readLog(const std::string &dir) {
    std::vector<LogEntry> out;
    std::string text;
    if (!readWholeFile(logPath(dir), &text)) return out;
    textio::LineReader in(text);
    std::string line;
    while (in.next(line)) {
        LogEntry e;
        if (parseLogLine(line, &e)) out.push_back(std::move(e));
    }
    return out;
}

void clearLog(const std::string &dir) {
    DiskLock hold(dir);
    fileio::removeFile(logPath(dir));
}

bool readPhysicalSectors(const std::string &dir, uint64_t first, uint32_t count, uint8_t *out) {
    DiskState s;
    if (!out || !loadState(dir, &s) || first > s.sectors || count > s.sectors - first) return false;
    return readSectors(dir, first, count, out);
}

bool readInfoSector(const std::string &dir, uint32_t page, uint32_t slot, uint8_t *out512) {
    return out512 && isDisk(dir) && readInfo(dir, page, slot, out512);
}

bool writeInfoSector(const std::string &dir, uint32_t page, uint32_t slot, const uint8_t *in512) {
    return in512 && isDisk(dir) && writeInfo(dir, page, slot, in512);
}

bool readDeviceInfo(const std::string &dir, std::array<uint8_t, 512> *out) {
    DiskState s;
    if (!out || !loadState(dir, &s)) return false;
    *out = buildDeviceInfo(s);
    return true;
}

bool loggedIn(const std::string &dir) {
    DiskState s;
    return loadState(dir, &s) && s.loggedIn;
}

bool replug(const std::string &dir) {
    DiskLock hold(dir);
    DiskState s;
    if (!loadState(dir, &s)) return false;
    restartController(dir, &s);
    if (!saveState(dir, s)) return false;
    publishDrives(dir, s);
    return true;
}

bool writeHostSectors(const std::string &dir, uint64_t first, uint32_t count, const uint8_t *in) {
    if (!in || count == 0) return false;
    auto disk = makeEmulatedDisk(dir);
    auto units = disk->units();
    for (unsigned u = 0; u < units.size(); ++u) {
        const UnitView &v = units[u];
        if (!v.present || first < v.start || first - v.start > v.length || count > v.length - (first - v.start))
            continue;
        for (uint32_t done = 0; done < count;) {
            uint32_t n = std::min(count - done, kMaxUnitSectors);
            if (disk->writeUnit(u, first - v.start + done, n, in + size_t(done) * kSector) != UnitResult::Ok)
                return false;
            done += n;
        }
        return true;
    }
    return false;
}

void flushHostWrites(const std::string &dir) { makeEmulatedDisk(dir)->hostCommand(); }

bool getStatus(const std::string &dir, DiskStatus *status) {
    DiskState s;
    if (!status || !loadState(dir, &s)) return false;
    DiskStatus r;
    r.sectors = s.sectors;
    r.loggedIn = s.loggedIn;
    r.wholeDisk = s.wholeDisk;
    r.dismounted = s.dismounted;
    r.writeProtected = s.faults.writeProtected;
    r.haveTable = s.haveTable;
    r.table = s.table;
    r.commits = s.commits;
    std::string bytes;
    if (readWholeFile(commitPath(dir), &bytes)) r.lastCommit.assign(bytes.begin(), bytes.end());
    *status = std::move(r);
    return true;
}

} // namespace flashemu
