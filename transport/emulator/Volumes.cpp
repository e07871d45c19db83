#include "Volumes.h"

#include <algorithm>
#include <cstring>

#include "Tables.h"
#include "byteorder.h"
#include "fat_layout.h"
#include "table_layout.h"
#include "text_io.h"

namespace flashemu {
namespace {

// An area clipped to the disk, so a table with wild sizes never reaches past it.
std::optional<Volume> areaOf(const DiskState &s, uint32_t start, uint32_t size) {
    if (size == 0 || start >= s.sectors) return std::nullopt;
    Volume v;
    v.start = start;
    v.length = std::min<uint64_t>(size, uint64_t(s.sectors) - start);
    return v;
}

// Where the system mounts an area: at the active partition when sector 0 of the
// area is a partition table, otherwise at the area's first sector.
Volume mountedPart(const std::string &dir, const Volume &area) {
    uint8_t mbr[kSector];
    if (!readSectors(dir, area.start, 1, mbr)) return area;
    if (mbr[510] != 0x55 || mbr[511] != 0xAA || mbr[0x1BE] != 0x80) return area;
    uint32_t first = bo::getLE32(mbr + 0x1C6);
    uint32_t length = bo::getLE32(mbr + 0x1CA);
    if (first == 0 || first >= area.length) return area;
    Volume v = area;
    v.start = area.start + first;
    v.length = std::min<uint64_t>(length, area.length - first);
    return v;
}

// The volume's geometry as its boot sector gives it, in disk sectors from
// firstSector; only the 512-byte sectors this device has.
struct FatVolume {
    uint64_t firstSector = 0;
    fat::Geometry g;
    uint64_t sector(uint64_t volumeSector) const { return firstSector + volumeSector; }
};

bool readGeometry(const std::string &dir, const Volume &vol, FatVolume *v) {
    uint8_t b[kSector];
    if (!readSectors(dir, vol.start, 1, b)) return false;
    const auto g = fat::readGeometry(b);
    if (!g || !g->sound() || g->bytesPerSector != kSector) return false;
    v->firstSector = vol.start;
    v->g = *g;
    return g->totalSectors <= vol.length && g->firstDataSector() < vol.length;
}

uint32_t nextCluster32(const std::string &dir, const FatVolume &v, uint32_t c) {
    uint8_t b[kSector];
    const fat::EntryPlace at = fat::entryPlace(fat::Kind::Fat32, c);
    if (!readSectors(dir, v.sector(v.g.fatSector(0) + at.offset / kSector), 1, b)) return 0x0FFFFFFF;
    return fat::decodeEntry(fat::Kind::Fat32, c, bo::getLE32(b + at.offset % kSector));
}

bool matchEntry(const uint8_t *e) {
    static const char kName[] = "LOG     LOG";
    const uint8_t attributes = e[fat::dirent::kAttributes];
    if (e[0] == fat::dirent::kEnd || e[0] == fat::dirent::kDeleted || attributes == fat::dirent::kAttrLongName ||
        (attributes & (fat::dirent::kAttrVolumeId | fat::dirent::kAttrDirectory)))
        return false;
    return fat::sameShortName(e + fat::dirent::kName, reinterpret_cast<const uint8_t *>(kName));
}

} // namespace

View currentView(const DiskState &s) {
    View v;
    if (s.dismounted || s.faults.absent) return v;
    if (s.wholeDisk || !s.haveTable || tableKind(s.table.data()) == Kind::None) {
        v.first = areaOf(s, 0, s.sectors);
        return v;
    }
    Layout l = readLayout(s.table.data());
    if (cfgtbl::isSecureLayout(l.kind) && s.loggedIn)
        v.first = areaOf(s, l.start[1], l.size[1]);
    else
        v.first = areaOf(s, 0, l.size[0]);
    if (v.first && l.cdrom) {
        v.first->readOnly = true;
        v.first->cdrom = true;
    }
    v.second = areaOf(s, l.start[2], l.size[2]);
    return v;
}

std::optional<Volume> loginArea(const DiskState &s) {
    if (s.dismounted || s.wholeDisk || !s.haveTable) return std::nullopt;
    Layout l = readLayout(s.table.data());
    if (!cfgtbl::isSecureLayout(l.kind)) return std::nullopt;
    return areaOf(s, 0, l.size[0]);
}

bool publishDrives(const std::string &dir, const DiskState &s) {
    // The image is named relative to the map's own folder (the disk directory),
    // so the directory may move, or be reached as Z:\... by a Windows build.
    const std::string image = kDataImageName;
    textio::Builder o;
    o << "# letter\tsource\toffset\tlength\tflags\n";
    View v = currentView(s);
    char letter = 'E';
    for (const auto &area : {v.first, v.second}) {
        if (!area) continue;
        Volume m = mountedPart(dir, *area);
        std::string flags = (m.readOnly || s.faults.writeProtected) ? "ro" : "rw";
        if (m.cdrom) flags += ",cdrom";
        o << letter << ":\t" << image << '\t' << m.start * kSector << '\t' << m.length * kSector << '\t' << flags
          << '\n';
        ++letter;
    }
    std::string path = drivesPath(dir), old;
    if (readWholeFile(path, &old) && old == o.str()) return true;
    return writeFileAtomic(path, o.str());
}

bool findLoginFile(const std::string &dir, const Volume &area, uint8_t *out512, LoginFilePlace *place) {
    FatVolume v;
    if (!readGeometry(dir, mountedPart(dir, area), &v)) return false;
    const fat::Geometry &g = v.g;
    uint8_t b[kSector];
    uint64_t entrySector = 0;
    auto scanSector = [&](uint64_t sector, bool *end) -> const uint8_t * {
        entrySector = sector;
        if (!readSectors(dir, sector, 1, b)) {
            *end = true;
            return nullptr;
        }
        for (uint32_t off = 0; off < kSector; off += fat::dirent::kSize) {
            if (b[off] == fat::dirent::kEnd) {
                *end = true;
                return nullptr;
            }
            if (matchEntry(b + off)) return b + off;
        }
        return nullptr;
    };
    const uint8_t *entry = nullptr;
    bool end = false;
    if (g.kind != fat::Kind::Fat32) {
        for (uint32_t i = 0; i < g.rootDirSectors && !entry && !end; ++i)
            entry = scanSector(v.sector(g.rootDirSector() + i), &end);
    } else {
        uint32_t c = g.rootCluster;
        // A damaged chain must not loop for ever: a root directory of more than
        // 4096 clusters is not one this system writes.
        for (int hops = 0; hops < 4096 && g.validCluster(c) && !entry && !end; ++hops) {
            for (uint32_t i = 0; i < g.sectorsPerCluster && !entry && !end; ++i)
                entry = scanSector(v.sector(g.clusterSector(c) + i), &end);
            if (!entry && !end) c = nextCluster32(dir, v, c);
        }
    }
    if (!entry) return false;
    uint32_t size = bo::getLE32(entry + fat::dirent::kFileSize);
    uint32_t cluster = fat::dirent::firstCluster(g.kind, entry);
    if (size != kSector || !g.validCluster(cluster)) return false;
    const uint64_t sector = v.sector(g.clusterSector(cluster));
    if (place) *place = {entrySector, sector};
    return readSectors(dir, sector, 1, out512);
}

bool noticeLoginFile(const std::string &dir, DiskState *s, uint64_t first, uint64_t count) {
    if (s->loggedIn || count == 0) return false;
    auto area = loginArea(*s);
    if (!area || first >= area->start + area->length || first + count <= area->start) return false;
    uint8_t rec[kSector];
    LoginFilePlace at;
    if (!findLoginFile(dir, *area, rec, &at)) return false;
    auto written = [&](uint64_t sector) { return sector >= first && sector - first < count; };
    if (!written(at.entrySector) && !written(at.dataSector)) return false;
    if (bo::getLE32(rec) != 0xA5A5A5A5u) return false;
    Layout l = readLayout(s->table.data());
    static const std::array<uint8_t, 16> kNone{};
    if (l.digest == kNone || std::memcmp(l.digest.data(), rec + 16, 16) != 0) return false;
    s->loginPending = true;
    return true;
}

bool takePendingLogin(DiskState *s) {
    if (!s->loginPending) return false;
    s->loginPending = false;
    // Only a device still showing its login volume can log in from it.
    s->loggedIn = s->loggedIn || loginArea(*s).has_value();
    return true;
}

} // namespace flashemu
