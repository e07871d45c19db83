// The file copy into a freshly built FAT image: 8.3 directory entries in the
// root directory, first-fit cluster chains, and the FAT32 FSInfo counts.
// Failures are silent by design: a file that does not fit is left out and the
// format goes on.
#if defined(_WIN32)
#include <windows.h>
#else
#include <filesystem>
#endif

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

#include "FatImage.h"
#include "byteorder.h"
#include "file_io.h"

namespace quendal {

namespace {

// Directory entry (32 bytes).
namespace dirent {
constexpr size_t kSize = 32;
constexpr size_t kName = 0x00; // 11 bytes, 8.3
constexpr size_t kAttributes = 0x0B;
constexpr size_t kCreateTime = 0x0E;  // 16-bit, FAT32 only
constexpr size_t kCreateDate = 0x10;  // 16-bit, FAT32 only
constexpr size_t kAccessDate = 0x12;  // 16-bit, FAT32 only
constexpr size_t kClusterHigh = 0x14; // 16-bit, FAT32 only
constexpr size_t kWriteTime = 0x16;   // 16-bit
constexpr size_t kWriteDate = 0x18;   // 16-bit
constexpr size_t kClusterLow = 0x1A;  // 16-bit
constexpr size_t kFileSize = 0x1C;    // 32-bit
static_assert(kFileSize + 4 == kSize, "the file size closes the entry");
constexpr uint8_t kArchive = 0x20;
} // namespace dirent

// FSInfo counters (volume sector 1 of a FAT32 volume).
constexpr size_t kFsInfoFreeCount = 0x1E8;
constexpr size_t kFsInfoNextFree = 0x1EC;

FileClock gClock = nullptr;

FatTime localClock() {
    std::time_t now = std::time(nullptr);
    // The library is called one call at a time (no two formats overlap), so the
    // shared result of localtime is not raced.
    const std::tm *tm = std::localtime(&now);
    FatTime t;
    if (!tm) return t;
    t.year = tm->tm_year + 1900;
    t.month = tm->tm_mon + 1;
    t.day = tm->tm_mday;
    t.hour = tm->tm_hour;
    t.minute = tm->tm_min;
    t.second = tm->tm_sec;
    return t;
}

// The platform's ANSI upper-casing, for the bytes a name may hold: ASCII
// letters change, every other byte stays as it is.
constexpr uint8_t kDeletedEntry = 0xE5;
constexpr uint8_t kVolumeLabel = 0x08;

std::string upperAscii(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

uint8_t *entryAt(FatImage &image, uint32_t index) {
    uint32_t sector = image.rootDirSector() + index / 16;
    return image.mutableSector(sector) + (index % 16) * dirent::kSize;
}

void readEntry(const FatImage &image, uint32_t index, uint8_t *out32) {
    const uint8_t *s = image.sectorData(image.rootDirSector() + index / 16);
    if (s)
        std::memcpy(out32, s + (index % 16) * dirent::kSize, dirent::kSize);
    else
        std::memset(out32, 0, dirent::kSize);
}

void adjustFsInfo(FatImage &image, int32_t freeDelta, int32_t nextDelta) {
    uint8_t *info = image.mutableSector(image.volumeStart() + 1);
    bo::putLE32(info + kFsInfoFreeCount, bo::getLE32(info + kFsInfoFreeCount) + uint32_t(freeDelta));
    bo::putLE32(info + kFsInfoNextFree, bo::getLE32(info + kFsInfoNextFree) + uint32_t(nextDelta));
}

void freeChain(FatImage &image, uint32_t cluster) {
    const bool fat32 = image.kind() == FatKind::Fat32;
    // A damaged chain (a loop, or a value outside the volume) ends the walk; at
    // most every cluster of the volume is freed once.
    for (uint64_t steps = 0; cluster >= 2 && cluster < image.clusterLimit() && steps < image.clusterLimit(); ++steps) {
        uint32_t next = image.fatEntry(cluster);
        if (next == 0) break; // already free: not part of a chain
        image.setFatEntry(cluster, 0);
        if (fat32) adjustFsInfo(image, +1, -1);
        if (image.isEndOfChain(next)) break;
        cluster = next;
    }
}

} // namespace

FatTime fileClockNow() { return gClock ? gClock() : localClock(); }

void setFileClock(FileClock clock) { gClock = clock; }

std::array<uint8_t, 11> shortName(const std::string &name) {
    std::array<uint8_t, 11> out;
    out.fill(' ');
    std::string upper = upperAscii(name);
    size_t dot = upper.find('.');
    std::string base = dot == std::string::npos ? upper : upper.substr(0, dot);
    std::string ext = dot == std::string::npos ? std::string() : upper.substr(dot + 1);
    std::memcpy(out.data(), base.data(), std::min<size_t>(base.size(), 8));
    std::memcpy(out.data() + 8, ext.data(), std::min<size_t>(ext.size(), 3));
    return out;
}

int AddFileToImage(FatImage &image, const uint8_t *bytes, uint32_t size, const std::string &name) {
    if (!image.built() || (size > 0 && !bytes)) return 0;
    auto shortname = shortName(name);
    // A first byte of E5 marks a deleted entry to every FAT reader; a name that
    // really starts with that byte (a letter of several code pages) is stored
    // with 05 in its place, or the copied file would read as deleted.
    if (shortname[0] == 0xE5) shortname[0] = 0x05;
    const bool fat32 = image.kind() == FatKind::Fat32;

    // A name without a base ("" or ".ext") has no 8.3 form: an entry of blanks
    // is no valid name to any FAT reader.
    if (shortname[0] == ' ') return 0;

    // Slot: the entry of the same name, else the first deleted one, else the end
    // of the directory; walked as every FAT reader walks it (an entry starting
    // with 0 ends the directory, one starting with E5 is deleted).
    uint32_t slot = image.rootEntries(), reusable = image.rootEntries();
    uint8_t entry[dirent::kSize];
    for (uint32_t i = 0; i < image.rootEntries(); ++i) {
        readEntry(image, i, entry);
        if (entry[0] == 0x00 || entry[0] == kDeletedEntry) {
            if (reusable == image.rootEntries()) reusable = i;
            if (entry[0] == 0x00) break;
            continue;
        }
        if ((entry[dirent::kAttributes] & kVolumeLabel) == 0 && std::memcmp(entry, shortname.data(), 11) == 0) {
            slot = i;
            break;
        }
    }
    const bool replacing = slot != image.rootEntries();
    if (!replacing) slot = reusable;
    if (slot == image.rootEntries()) return 0;

    uint8_t *e = entryAt(image, slot);
    if (replacing) {
        uint32_t first = bo::getLE16(e + dirent::kClusterLow);
        if (fat32) first |= uint32_t(bo::getLE16(e + dirent::kClusterHigh)) << 16;
        freeChain(image, first);
    }
    std::memset(e, 0, dirent::kSize);

    const uint64_t clusterBytes = uint64_t(image.sectorsPerCluster()) * 512;
    if (image.freeClusters() * clusterBytes < size) {
        // The old file is gone; its entry is marked deleted, not zeroed: a zero
        // there would end the directory and hide every file after it.
        if (replacing) e[0] = kDeletedEntry;
        return 0;
    }

    const FatTime t = fileClockNow();
    const uint16_t time = uint16_t((t.hour << 11) | (t.minute << 5) | (t.second / 2));
    const uint16_t date = uint16_t(((t.year - 1980) << 9) | (t.month << 5) | t.day);
    e = entryAt(image, slot);
    std::memcpy(e + dirent::kName, shortname.data(), 11);
    e[dirent::kAttributes] = dirent::kArchive;
    bo::putLE32(e + dirent::kFileSize, size);
    bo::putLE16(e + dirent::kWriteTime, time);
    bo::putLE16(e + dirent::kWriteDate, date);
    if (fat32) {
        bo::putLE16(e + dirent::kCreateTime, time);
        bo::putLE16(e + dirent::kCreateDate, date);
        bo::putLE16(e + dirent::kAccessDate, date);
    }

    uint32_t remaining = size;
    uint32_t previous = 0;
    bool haveFirst = false;
    const uint8_t *src = bytes;
    for (uint32_t c = 2; c < image.clusterLimit() && remaining > 0; ++c) {
        if (image.fatEntry(c) != 0) continue;
        if (!haveFirst) {
            haveFirst = true;
            e = entryAt(image, slot);
            bo::putLE16(e + dirent::kClusterLow, uint16_t(c));
            if (fat32) bo::putLE16(e + dirent::kClusterHigh, uint16_t(c >> 16));
        }
        image.setFatEntry(c, image.endOfChain());
        if (fat32) adjustFsInfo(image, -1, +1);
        uint32_t n = uint32_t(std::min<uint64_t>(remaining, clusterBytes));
        image.writeCluster(c, src, n);
        src += n;
        remaining -= n;
        if (previous) image.setFatEntry(previous, c);
        previous = c;
    }
    // The second FAT is always presented as a copy of the first.
    return 1;
}

int AddHostFile(FatImage &image, const std::string &path, const std::string &name) {
    fileio::File in(path, fileio::File::Mode::Read);
    if (!in.isOpen()) return 0;
    const std::optional<uint64_t> length = in.size();
    // A directory entry holds a 32-bit size.
    if (!length || *length > std::numeric_limits<uint32_t>::max()) return 0;
    std::vector<uint8_t> data(static_cast<size_t>(*length));
    if (!data.empty() && !in.readAt(0, data.data(), data.size())) return 0;
    in.close();
    return AddFileToImage(image, data.data(), uint32_t(data.size()), name);
}

#if defined(_WIN32)

int CopyFolderToImage(FatImage &image, const std::string &folder) {
    // The folder is listed the way the original platform lists it: in the file
    // system's own order, with names in the ANSI code page, which are the bytes
    // the 8.3 entry takes and the name the file opens by again.
    WIN32_FIND_DATAA found;
    std::string base = folder;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    HANDLE search = FindFirstFileA((base + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int added = 0;
    do {
        // Only plain files: no recursion into folders (nor "." and "..").
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::string hostName = found.cFileName;
        const std::string name = upperAscii(hostName);
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".SCC") == 0) continue;
        if (AddHostFile(image, base + hostName, name) == 1) ++added;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return added;
}

#else

int CopyFolderToImage(FatImage &image, const std::string &folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) return 0;
    int added = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::directory_entry &entry = *it;
        std::error_code typeEc;
        // Only plain files: no recursion, and nothing that could block a read
        // (a pipe or a device node in the folder).
        if (!entry.is_regular_file(typeEc)) continue;
        const std::string hostName = entry.path().filename().string();
        const std::string name = upperAscii(hostName);
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".SCC") == 0) continue;
        // The host path keeps the name's own case: Linux file names are case-sensitive.
        if (AddHostFile(image, (fs::path(folder) / hostName).string(), name) == 1) ++added;
    }
    return added;
}

#endif

} // namespace quendal
