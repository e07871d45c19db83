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
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "FatImage.h"
#include "byteorder.h"
#include "fat_layout.h"
#include "file_io.h"
#include "platform/FileNames.h"

namespace quendal {

namespace {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

FileClock gClock = nullptr;

fat::DateTime localClock() { return fat::localDateTime(int64_t(std::time(nullptr))).value_or(fat::DateTime{}); }

uint8_t *entryAt(FatImage &image, uint32_t index) {
    uint32_t sector = image.rootDirSector() + index / 16;
    return image.mutableSector(sector) + (index % 16) * fat::dirent::kSize;
}

void readEntry(const FatImage &image, uint32_t index, uint8_t *out32) {
    const uint8_t *s = image.sectorData(image.rootDirSector() + index / 16);
    if (s)
        std::memcpy(out32, s + (index % 16) * fat::dirent::kSize, fat::dirent::kSize);
    else
        std::memset(out32, 0, fat::dirent::kSize);
}

void adjustFsInfo(FatImage &image, int32_t freeDelta, int32_t nextDelta) {
    uint8_t *info = image.mutableSector(image.volumeStart() + 1);
    bo::putLE32(info + fat::fsinfo::kFreeCount, bo::getLE32(info + fat::fsinfo::kFreeCount) + uint32_t(freeDelta));
    bo::putLE32(info + fat::fsinfo::kNextFree, bo::getLE32(info + fat::fsinfo::kNextFree) + uint32_t(nextDelta));
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

std::optional<fat::ShortName> shortNameOf(const std::string &name) {
    const uint32_t codePage = platform::fileNameCodePage();
    const auto form = fat::shortName(platform::upperAnsi(name, codePage), codePage);
    if (!form) return std::nullopt;
    return form->name;
}

bool isScc(const std::string &upperName) {
    return upperName.size() >= 4 && upperName.compare(upperName.size() - 4, 4, ".SCC") == 0;
}

// A file of the folder: its name as the host lists it (to open it by) and its
// 8.3 name.
struct FolderFile {
    std::string hostName;
    std::optional<fat::ShortName> shortName;
};

// Host names that meet in one 8.3 name would replace each other in the root
// directory. Each of them gets the name with the lowest numeric tail not taken
// by another file of the copy instead, in the order of their host names, so the
// result does not depend on the order the system lists the folder in.
void giveNumericTails(std::vector<FolderFile> &files, uint32_t codePage) {
    std::map<fat::ShortName, std::vector<size_t>> byName;
    for (size_t i = 0; i < files.size(); ++i)
        if (files[i].shortName) byName[*files[i].shortName].push_back(i);
    std::set<fat::ShortName> taken;
    for (const auto &[name, users] : byName)
        if (users.size() == 1) taken.insert(name);
    for (auto &[name, users] : byName) {
        if (users.size() < 2) continue;
        std::sort(users.begin(), users.end(),
                  [&](size_t a, size_t b) { return files[a].hostName < files[b].hostName; });
        uint32_t n = 1;
        for (size_t i : users) {
            fat::ShortName tailed = fat::withNumericTail(name, n, codePage);
            while (taken.count(tailed)) tailed = fat::withNumericTail(name, ++n, codePage);
            taken.insert(tailed);
            files[i].shortName = tailed;
        }
    }
}

// Plain files of the folder but *.SCC, in the order the system lists them; their
// 8.3 names are made from the names' ANSI upper-case form.
bool listFolder(const std::string &folder, uint32_t codePage, std::vector<FolderFile> *files);

} // namespace

fat::DateTime fileClockNow() { return gClock ? gClock() : localClock(); }

void setFileClock(FileClock clock) { gClock = clock; }

int AddFileToImage(FatImage &image, const uint8_t *bytes, uint32_t size, const std::string &name) {
    // A name without a base ("" or "...") has no 8.3 form: an entry of blanks is
    // no valid name to any FAT reader.
    const auto shortname = shortNameOf(name);
    return shortname ? AddFileToImage(image, bytes, size, *shortname) : 0;
}

int AddFileToImage(FatImage &image, const uint8_t *bytes, uint32_t size, const fat::ShortName &shortname) {
    if (!image.built() || (size > 0 && !bytes)) return 0;
    const FatKind kind = image.kind();
    const bool fat32 = kind == FatKind::Fat32;

    // Slot: the entry of the same name, else the first deleted one, else the end
    // of the directory; walked as every FAT reader walks it (an entry starting
    // with 0 ends the directory, one starting with E5 is deleted).
    uint32_t slot = image.rootEntries(), reusable = image.rootEntries();
    uint8_t entry[fat::dirent::kSize];
    for (uint32_t i = 0; i < image.rootEntries(); ++i) {
        readEntry(image, i, entry);
        if (entry[0] == fat::dirent::kEnd || entry[0] == fat::dirent::kDeleted) {
            if (reusable == image.rootEntries()) reusable = i;
            if (entry[0] == fat::dirent::kEnd) break;
            continue;
        }
        if ((entry[fat::dirent::kAttributes] & fat::dirent::kAttrVolumeId) == 0 &&
            std::memcmp(entry + fat::dirent::kName, shortname.data(), 11) == 0) {
            slot = i;
            break;
        }
    }
    const bool replacing = slot != image.rootEntries();
    if (!replacing) slot = reusable;
    if (slot == image.rootEntries()) return 0;

    if (replacing) {
        // The old file goes first, so that its clusters count as free. Its entry
        // is marked deleted, not zeroed, until the new one is written: a zero
        // there would end the directory and hide every file after it.
        uint8_t *e = entryAt(image, slot);
        freeChain(image, fat::dirent::firstCluster(kind, e));
        std::memset(e, 0, fat::dirent::kSize);
        e[0] = fat::dirent::kDeleted;
    }
    // A refused file leaves a reused slot as it found it (deleted, or the end).
    const uint64_t clusterBytes = image.geometry().clusterBytes();
    if (image.freeClusters() * clusterBytes < size) return 0;

    const fat::Stamp when = fat::stamp(fileClockNow());
    uint8_t *e = entryAt(image, slot);
    std::memset(e, 0, fat::dirent::kSize);
    std::memcpy(e + fat::dirent::kName, shortname.data(), 11);
    e[fat::dirent::kAttributes] = fat::dirent::kAttrArchive;
    bo::putLE32(e + fat::dirent::kFileSize, size);
    bo::putLE16(e + fat::dirent::kWriteTime, when.time);
    bo::putLE16(e + fat::dirent::kWriteDate, when.date);
    if (fat32) {
        bo::putLE16(e + fat::dirent::kCreateTime, when.time);
        bo::putLE16(e + fat::dirent::kCreateDate, when.date);
        bo::putLE16(e + fat::dirent::kAccessDate, when.date);
    }

    uint32_t remaining = size;
    uint32_t previous = 0;
    const uint8_t *src = bytes;
    for (uint32_t c = 2; c < image.clusterLimit() && remaining > 0; ++c) {
        if (image.fatEntry(c) != 0) continue;
        if (!previous) fat::dirent::setFirstCluster(kind, entryAt(image, slot), c);
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

int AddHostFile(FatImage &image, const std::string &path, const fat::ShortName &name) {
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

int AddHostFile(FatImage &image, const std::string &path, const std::string &name) {
    const auto shortname = shortNameOf(name);
    return shortname ? AddHostFile(image, path, *shortname) : 0;
}

int CopyFolderToImage(FatImage &image, const std::string &folder) {
    const uint32_t codePage = platform::fileNameCodePage();
    std::vector<FolderFile> files;
    if (!listFolder(folder, codePage, &files)) return 0;
    giveNumericTails(files, codePage);
    std::string base = folder;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += kPathSeparator;
    int added = 0;
    for (const FolderFile &f : files)
        // The host path keeps the name's own case: Linux file names are case-sensitive.
        if (f.shortName && AddHostFile(image, base + f.hostName, *f.shortName) == 1) ++added;
    return added;
}

namespace {

// Adds a listed file unless it is a *.SCC file, which the copy leaves out.
void addListed(const std::string &hostName, uint32_t codePage, std::vector<FolderFile> *files) {
    const std::string upper = platform::upperAnsi(platform::ansiFileName(hostName), codePage);
    if (isScc(upper)) return;
    FolderFile f{hostName, std::nullopt};
    if (auto form = fat::shortName(upper, codePage)) f.shortName = form->name;
    files->push_back(std::move(f));
}

#if defined(_WIN32)

bool listFolder(const std::string &folder, uint32_t codePage, std::vector<FolderFile> *files) {
    // The folder is listed the way the original platform lists it: in the file
    // system's own order, with names in the ANSI code page, which are the bytes
    // the 8.3 entry takes and the name the file opens by again.
    WIN32_FIND_DATAA found;
    std::string base = folder;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    HANDLE search = FindFirstFileA((base + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        // Only plain files: no recursion into folders (nor "." and "..").
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        addListed(found.cFileName, codePage, files);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

#else

bool listFolder(const std::string &folder, uint32_t codePage, std::vector<FolderFile> *files) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) return false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::directory_entry &entry = *it;
        std::error_code typeEc;
        // Only plain files: no recursion, and nothing that could block a read
        // (a pipe or a device node in the folder).
        if (!entry.is_regular_file(typeEc)) continue;
        addListed(entry.path().filename().string(), codePage, files);
    }
    return true;
}

#endif

} // namespace

} // namespace quendal
