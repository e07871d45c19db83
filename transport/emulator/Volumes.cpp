#include "Volumes.h"

#include <algorithm>
#include <cstring>

#include "Tables.h"
#include "byteorder.h"
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

struct FatGeometry {
    uint64_t firstSector = 0; // the volume's boot sector, disk sectors
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reserved = 0;
    uint32_t fats = 0;
    uint32_t rootEntries = 0;
    uint32_t fatSize = 0;
    uint32_t totalSectors = 0;
    uint32_t rootCluster = 0;
    bool fat32 = false;
    uint64_t rootDirSector() const { return firstSector + reserved + uint64_t(fats) * fatSize; }
    uint64_t dataSector() const {
        return rootDirSector() + (uint64_t(rootEntries) * 32 + bytesPerSector - 1) / bytesPerSector;
    }
    uint64_t clusterSector(uint32_t c) const { return dataSector() + uint64_t(c - 2) * sectorsPerCluster; }
};

bool readGeometry(const std::string &dir, const Volume &vol, FatGeometry *g) {
    uint8_t b[kSector];
    if (!readSectors(dir, vol.start, 1, b) || b[510] != 0x55 || b[511] != 0xAA) return false;
    g->firstSector = vol.start;
    g->bytesPerSector = bo::getLE16(b + 11);
    g->sectorsPerCluster = b[13];
    g->reserved = bo::getLE16(b + 14);
    g->fats = b[16];
    g->rootEntries = bo::getLE16(b + 17);
    g->totalSectors = bo::getLE16(b + 19) ? bo::getLE16(b + 19) : bo::getLE32(b + 32);
    g->fatSize = bo::getLE16(b + 22);
    if (g->fatSize == 0) {
        g->fatSize = bo::getLE32(b + 36);
        g->rootCluster = bo::getLE32(b + 44);
        g->fat32 = true;
    }
    // Only the 512-byte sectors this device has; anything else is not a volume we can read.
    return g->bytesPerSector == kSector && g->sectorsPerCluster != 0 && g->fats != 0 && g->fatSize != 0 &&
           g->totalSectors <= vol.length && g->dataSector() < vol.start + vol.length;
}

uint32_t nextCluster32(const std::string &dir, const FatGeometry &g, uint32_t c) {
    uint8_t b[kSector];
    uint64_t byte = uint64_t(c) * 4;
    if (!readSectors(dir, g.firstSector + g.reserved + byte / kSector, 1, b)) return 0x0FFFFFFF;
    return bo::getLE32(b + byte % kSector) & 0x0FFFFFFF;
}

bool matchEntry(const uint8_t *e) {
    static const char kName[] = "LOG     LOG";
    if (e[0] == 0 || e[0] == 0xE5 || e[11] == 0x0F || (e[11] & 0x18)) return false;
    for (int i = 0; i < 11; ++i) {
        char c = char(e[i]);
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        if (c != kName[i]) return false;
    }
    return true;
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
    FatGeometry g;
    if (!readGeometry(dir, mountedPart(dir, area), &g)) return false;
    uint8_t b[kSector];
    uint64_t entrySector = 0;
    auto scanSector = [&](uint64_t sector, bool *end) -> const uint8_t * {
        entrySector = sector;
        if (!readSectors(dir, sector, 1, b)) {
            *end = true;
            return nullptr;
        }
        for (uint32_t off = 0; off < kSector; off += 32) {
            if (b[off] == 0) {
                *end = true;
                return nullptr;
            }
            if (matchEntry(b + off)) return b + off;
        }
        return nullptr;
    };
    const uint8_t *entry = nullptr;
    bool end = false;
    if (!g.fat32) {
        uint32_t rootSectors = (g.rootEntries * 32 + kSector - 1) / kSector;
        for (uint32_t i = 0; i < rootSectors && !entry && !end; ++i) entry = scanSector(g.rootDirSector() + i, &end);
    } else {
        uint32_t c = g.rootCluster;
        // A damaged chain must not loop for ever: a root directory of more than
        // 4096 clusters is not one this system writes.
        for (int hops = 0; hops < 4096 && c >= 2 && c < 0x0FFFFFF7 && !entry && !end; ++hops) {
            for (uint32_t i = 0; i < g.sectorsPerCluster && !entry && !end; ++i)
                entry = scanSector(g.clusterSector(c) + i, &end);
            if (!entry && !end) c = nextCluster32(dir, g, c);
        }
    }
    if (!entry) return false;
    uint32_t size = bo::getLE32(entry + 28);
    uint32_t cluster = bo::getLE16(entry + 26) | (g.fat32 ? uint32_t(bo::getLE16(entry + 20)) << 16 : 0);
    if (size != kSector || cluster < 2) return false;
    uint64_t sector = g.clusterSector(cluster);
    if (sector >= g.firstSector + g.totalSectors) return false;
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
