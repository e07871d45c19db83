#include "fat_layout.h"

#include <algorithm>
#include <ctime>

#include "byteorder.h"

namespace fat {

namespace {

uint32_t readRaw(const uint8_t *p, uint32_t bytes) { return bytes == 2 ? bo::getLE16(p) : bo::getLE32(p); }

void writeRaw(uint8_t *p, uint32_t bytes, uint32_t raw) {
    if (bytes == 2)
        bo::putLE16(p, uint16_t(raw));
    else
        bo::putLE32(p, raw);
}

bool fitsIn(const EntryPlace &at, size_t size) { return at.offset + at.bytes <= size; }

// Bytes no short name may hold, although a long name may: readers (fsck.fat
// among them) report such an entry as a bad name.
bool forbiddenInShortName(uint8_t c) {
    if (c < 0x20 || c == 0x7F) return true;
    for (char f : std::string_view("\"*+,/:;<=>?[\\]|"))
        if (c == uint8_t(f)) return true;
    return false;
}

uint8_t upperAscii(uint8_t c) { return c >= 'a' && c <= 'z' ? uint8_t(c - 'a' + 'A') : c; }

// Puts the characters of one part of a name (base or extension) into out, at
// most room bytes of them; clears *exact where anything is lost or changed.
size_t putPart(std::string_view part, uint32_t codePage, uint8_t *out, size_t room, bool *exact) {
    size_t n = 0;
    for (size_t k = 0; k < part.size();) {
        const uint8_t b = uint8_t(part[k]);
        if (isLeadByte(codePage, b) && k + 1 < part.size()) {
            // A double-byte character goes in whole or not at all.
            if (n + 2 > room) {
                *exact = false;
                break;
            }
            out[n++] = b;
            out[n++] = uint8_t(part[k + 1]);
            k += 2;
            continue;
        }
        ++k;
        if (b == ' ') {
            *exact = false;
            continue;
        }
        if (n == room) {
            *exact = false;
            break;
        }
        uint8_t c = upperAscii(b);
        // A later dot, which the device's rule leaves in the extension, is as
        // bad a short name to readers as the other characters.
        if (forbiddenInShortName(c) || c == '.') {
            c = '_';
            *exact = false;
        }
        out[n++] = c;
    }
    return n;
}

} // namespace

uint32_t dirent::firstCluster(Kind kind, const uint8_t *entry) {
    uint32_t c = bo::getLE16(entry + kClusterLow);
    if (kind == Kind::Fat32) c |= uint32_t(bo::getLE16(entry + kClusterHigh)) << 16;
    return c;
}

void dirent::setFirstCluster(Kind kind, uint8_t *entry, uint32_t cluster) {
    bo::putLE16(entry + kClusterLow, uint16_t(cluster));
    bo::putLE16(entry + kClusterHigh, kind == Kind::Fat32 ? uint16_t(cluster >> 16) : 0);
}

uint32_t getEntry(Kind kind, std::span<const uint8_t> table, uint32_t cluster) {
    const EntryPlace at = entryPlace(kind, cluster);
    // Past the FAT's end there is no chain to follow.
    if (!fitsIn(at, table.size())) return endOfChain(kind);
    return decodeEntry(kind, cluster, readRaw(table.data() + at.offset, at.bytes));
}

void setEntry(Kind kind, std::span<uint8_t> table, uint32_t cluster, uint32_t value) {
    const EntryPlace at = entryPlace(kind, cluster);
    if (!fitsIn(at, table.size())) return;
    uint8_t *p = table.data() + at.offset;
    writeRaw(p, at.bytes, encodeEntry(kind, cluster, readRaw(p, at.bytes), value));
}

bool Geometry::sound() const {
    if ((kind == Kind::Fat32) != fat32Layout) return false;
    if ((kind == Kind::Fat32) != (rootEntries == 0)) return false;
    if (clusters > kMaxFat32Clusters) return false;
    if (fatBytesFor(kind, clusters) > uint64_t(fatSectors) * bytesPerSector) return false;
    if (kind == Kind::Fat32) {
        if (!validCluster(rootCluster)) return false;
        if ((extFlags & bpb32::kNoMirroring) && (extFlags & bpb32::kActiveFatMask) >= fatCount) return false;
    }
    return true;
}

std::optional<Geometry> readGeometry(const uint8_t *bs) {
    if (bs[bpb::kSignature] != 0x55 || bs[bpb::kSignature + 1] != 0xAA) return std::nullopt;
    Geometry g;
    g.bytesPerSector = bo::getLE16(bs + bpb::kBytesPerSector);
    if (g.bytesPerSector != 512 && g.bytesPerSector != 1024 && g.bytesPerSector != 2048 && g.bytesPerSector != 4096)
        return std::nullopt;
    g.sectorsPerCluster = bs[bpb::kSectorsPerCluster];
    if (g.sectorsPerCluster == 0 || (g.sectorsPerCluster & (g.sectorsPerCluster - 1)) != 0) return std::nullopt;
    g.reservedSectors = bo::getLE16(bs + bpb::kReservedSectors);
    g.fatCount = bs[bpb::kFatCount];
    g.rootEntries = bo::getLE16(bs + bpb::kRootEntries);
    g.totalSectors = bo::getLE16(bs + bpb::kTotalSectors16);
    if (g.totalSectors == 0) g.totalSectors = bo::getLE32(bs + bpb::kTotalSectors32);
    g.fatSectors = bo::getLE16(bs + bpb::kFatSize16);
    g.fat32Layout = g.fatSectors == 0;
    if (g.fat32Layout) g.fatSectors = bo::getLE32(bs + bpb32::kFatSize32);
    if (g.reservedSectors == 0 || g.fatCount == 0 || g.fatSectors == 0 || g.totalSectors == 0) return std::nullopt;

    g.rootDirSectors = uint32_t((uint64_t(g.rootEntries) * dirent::kSize + g.bytesPerSector - 1) / g.bytesPerSector);
    const uint64_t overhead = g.firstDataSector();
    if (g.totalSectors <= overhead) return std::nullopt;
    g.clusters = uint32_t((g.totalSectors - overhead) / g.sectorsPerCluster);
    if (g.clusters == 0) return std::nullopt;
    g.kind = kindForClusters(g.clusters);
    if (g.fat32Layout) {
        g.extFlags = bo::getLE16(bs + bpb32::kExtFlags);
        g.rootCluster = bo::getLE32(bs + bpb32::kRootCluster);
        g.fsInfoSector = bo::getLE16(bs + bpb32::kFsInfoSector);
    }
    return g;
}

bool isLeadByte(uint32_t codePage, uint8_t b) {
    switch (codePage) {
    case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950: return b >= 0x81 && b <= 0xFE;
    default: return false;
    }
}

std::optional<ShortNameForm> shortName(std::string_view name, uint32_t codePage) {
    ShortNameForm form;
    form.name.fill(' ');
    form.exact = true;
    // Neither a dot nor a blank is ever the second byte of a double-byte
    // character, so they can be looked for byte by byte.
    size_t start = 0;
    while (start < name.size() && (name[start] == '.' || name[start] == ' ')) ++start;
    if (start > 0) form.exact = false;
    name.remove_prefix(start);
    const size_t dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (putPart(base, codePage, form.name.data(), 8, &form.exact) == 0) return std::nullopt;
    putPart(ext, codePage, form.name.data() + 8, 3, &form.exact);
    // E5 first marks a free entry to every reader.
    if (form.name[0] == dirent::kDeleted) form.name[0] = dirent::kE5Stand;
    return form;
}

ShortName withNumericTail(const ShortName &name, uint32_t n, uint32_t codePage) {
    char tail[12];
    size_t tailLength = 0;
    for (uint32_t v = n; tailLength == 0 || v != 0; v /= 10) tail[tailLength++] = char('0' + v % 10);
    tail[tailLength++] = '~';
    std::reverse(tail, tail + tailLength);
    tailLength = std::min<size_t>(tailLength, 7);

    size_t length = 8;
    while (length > 0 && name[length - 1] == ' ') --length;
    const size_t room = 8 - tailLength;
    size_t keep = 0;
    while (keep < std::min(length, room)) {
        // A first byte 05 stands for E5, which is a lead byte in several code pages.
        const uint8_t b = keep == 0 && name[0] == dirent::kE5Stand ? dirent::kDeleted : name[keep];
        const size_t width = isLeadByte(codePage, b) && keep + 1 < length ? 2 : 1;
        if (keep + width > room) break;
        keep += width;
    }
    ShortName out = name;
    std::fill(out.begin(), out.begin() + 8, uint8_t(' '));
    std::copy(name.begin(), name.begin() + long(keep), out.begin());
    std::copy(tail, tail + tailLength, out.begin() + long(keep));
    return out;
}

bool sameShortName(const uint8_t *a, const uint8_t *b) {
    for (size_t i = 0; i < 11; ++i)
        if (upperAscii(a[i]) != upperAscii(b[i])) return false;
    return true;
}

uint8_t longNameChecksum(const uint8_t *name) {
    uint8_t sum = 0;
    for (size_t i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

Stamp stamp(const DateTime &t) {
    if (t.year < 1980 || t.year > 2107 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31)
        return Stamp{uint16_t((1 << 5) | 1), 0};
    Stamp s;
    s.date = uint16_t(((t.year - 1980) << 9) | (t.month << 5) | t.day);
    // A leap second still lies in the entry's last two-second step.
    s.time = uint16_t((t.hour << 11) | (t.minute << 5) | (std::min(t.second, 59) / 2));
    return s;
}

std::optional<DateTime> localDateTime(int64_t secondsSinceEpoch) {
    const std::time_t when = std::time_t(secondsSinceEpoch);
    std::tm tm{};
#ifdef _WIN32
    if (localtime_s(&tm, &when) != 0) return std::nullopt;
#else
    if (localtime_r(&when, &tm) == nullptr) return std::nullopt;
#endif
    return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

} // namespace fat
