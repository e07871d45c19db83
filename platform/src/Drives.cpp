// The drive table and the per-drive operations the library relies on: which
// letters exist, a volume's size, one raw sector of a volume, a file on a
// drive, and the drive holding a directory. docs/drive-map.md describes where
// the letters come from.
#include "platform/Drives.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "byteorder.h"

namespace platform {
namespace {

constexpr uint32_t kSector = 512;
// Emulator variables (the emulator's own header names them the same way).
constexpr const char kDrivesEnv[] = "FLASHDISK_DRIVES";
constexpr const char kEmulatorEnv[] = "FLASHDISK_EMULATOR";

std::vector<std::string> split(const std::string &line, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t at = line.find(sep, start);
        out.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return out;
}

bool parseUnsigned(const std::string &text, uint64_t *value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size();
}

// "E:", "e:", "E:\", "E" -> 'E'; 0 when it is no drive name.
char driveLetter(const char *drive) {
    if (drive == nullptr || !std::isalpha(static_cast<unsigned char>(drive[0]))) return 0;
    if (drive[1] != '\0' && drive[1] != ':') return 0;
    if (drive[1] == ':' && drive[2] != '\0' && !((drive[2] == '\\' || drive[2] == '/') && drive[3] == '\0'))
        return 0;
    return char(std::toupper(static_cast<unsigned char>(drive[0])));
}

std::optional<DriveEntry> findDrive(char letter) {
    for (const DriveEntry &e : driveTable())
        if (e.letter == letter) return e;
    return std::nullopt;
}

std::string readWholeFile(const std::string &path, bool *ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = bool(in);
    std::ostringstream s;
    if (*ok) s << in.rdbuf();
    return s.str();
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescapeMountField(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() &&
            std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out.push_back(char(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// Bytes of the source from the volume's offset on: the map's length, else what
// the file or block device holds.
std::optional<uint64_t> volumeSpan(const DriveEntry &e, int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    uint64_t sourceBytes = 0;
    if (S_ISBLK(st.st_mode)) {
        if (::ioctl(fd, BLKGETSIZE64, &sourceBytes) != 0) return std::nullopt;
    } else if (S_ISREG(st.st_mode)) {
        sourceBytes = uint64_t(st.st_size);
    } else {
        return std::nullopt;
    }
    if (e.length != 0) return e.length;
    if (sourceBytes <= e.offset) return std::nullopt;
    return sourceBytes - e.offset;
}

bool readSector(const DriveEntry &e, uint64_t sector, uint8_t *out512) {
    int fd = ::open(e.source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = false;
    if (auto span = volumeSpan(e, fd); span && (sector + 1) * kSector <= *span) {
        uint64_t at = e.offset + sector * kSector;
        size_t got = 0;
        while (got < kSector) {
            ssize_t n = ::pread(fd, out512 + got, kSector - got, off_t(at + got));
            if (n <= 0) break;
            got += size_t(n);
        }
        ok = got == kSector;
    }
    ::close(fd);
    return ok;
}

#ifdef _WIN32
constexpr char kSeparator = '\\';
bool isSeparator(char c) { return c == '\\' || c == '/'; }
#else
constexpr char kSeparator = '/';
bool isSeparator(char c) { return c == '/'; }
#endif

// The folder part of a path ("" for a bare name).
std::string parentFolder(const std::string &path) {
    size_t at = path.size();
    while (at > 0 && !isSeparator(path[at - 1])) --at;
    if (at == 0) return {};
    std::string folder = path.substr(0, at);
    // Keep a root ("/", "C:\") whole; drop the separator otherwise.
    bool root = folder.size() == 1 || (folder.size() == 3 && folder[1] == ':');
    if (!root) folder.pop_back();
    return folder;
}

// A map's source as a path of this system: relative to the map's folder unless
// it is rooted ("/x", "\\x", "C:\x", "C:x").
std::string resolveSource(std::string source, const std::string &mapDirectory) {
    if (source.empty()) return source;
#ifdef _WIN32
    std::replace(source.begin(), source.end(), '/', '\\');
    bool rooted = source[0] == '\\' ||
                  (source.size() >= 2 && source[1] == ':' && std::isalpha(static_cast<unsigned char>(source[0])));
#else
    bool rooted = source[0] == '/';
#endif
    if (rooted || mapDirectory.empty()) return source;
    std::string folder = mapDirectory;
#ifdef _WIN32
    std::replace(folder.begin(), folder.end(), '/', '\\');
#endif
    if (!isSeparator(folder.back())) folder += kSeparator;
    return folder + source;
}

std::string canonical(const std::string &path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    if (ec) p = std::filesystem::path(path).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

} // namespace

std::string driveMapPath() {
    if (const char *map = std::getenv(kDrivesEnv); map && *map) return map;
    if (const char *disk = std::getenv(kEmulatorEnv); disk && *disk) {
        std::string path = disk;
        if (!isSeparator(path.back())) path += kSeparator;
        return path + "drives";
    }
    return {};
}

std::vector<DriveEntry> parseDriveMap(const std::string &text, const std::string &mapDirectory) {
    std::map<char, DriveEntry> byLetter;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = split(line, '\t');
        if (f.size() < 4) continue;
        const std::string &name = f[0];
        if (name.size() != 2 || name[1] != ':') continue;
        char letter = char(std::toupper(static_cast<unsigned char>(name[0])));
        if (letter < 'C' || letter > 'Z') continue;
        DriveEntry e;
        e.letter = letter;
        e.source = resolveSource(f[1], mapDirectory);
        if (e.source.empty() || !parseUnsigned(f[2], &e.offset) || !parseUnsigned(f[3], &e.length))
            continue;
        if (e.offset % kSector != 0) continue;  // a boot sector starts on a sector
        bool badFlag = false;
        if (f.size() > 4) {
            for (const std::string &flag : split(f[4], ',')) {
                if (flag == "ro") e.readOnly = true;
                else if (flag == "rw") e.readOnly = false;
                else if (flag == "cdrom") e.cdrom = true;
                else if (!flag.empty()) badFlag = true;
            }
        }
        if (badFlag) continue;
        if (f.size() > 5) e.mount = f[5];
        byLetter.emplace(letter, e);  // the first line for a letter wins
    }
    std::vector<DriveEntry> out;
    for (auto &[letter, e] : byLetter) out.push_back(e);
    return out;
}

std::vector<DriveEntry> parseMountInfo(const std::string &text) {
    // Later mounts on the same point hide earlier ones: keep the last.
    std::map<std::string, std::string> sourceByPoint;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t sep = line.find(" - ");
        if (sep == std::string::npos) continue;
        std::vector<std::string> head = split(line.substr(0, sep), ' ');
        std::vector<std::string> tail = split(line.substr(sep + 3), ' ');
        if (head.size() < 6 || tail.size() < 2) continue;
        std::string root = unescapeMountField(head[3]);
        std::string point = unescapeMountField(head[4]);
        std::string source = unescapeMountField(tail[1]);
        if (point == "/") {
            sourceByPoint[point] = source;
            continue;
        }
        // A drive is a whole file system of a block device, not a bind mount
        // of some folder or file of one, and not a pseudo file system.
        if (source.rfind("/dev/", 0) != 0 || root != "/") {
            sourceByPoint.erase(point);
            continue;
        }
        sourceByPoint[point] = source;
    }
    std::vector<DriveEntry> out;
    if (auto it = sourceByPoint.find("/"); it != sourceByPoint.end()) {
        DriveEntry c;
        c.letter = 'C';
        c.source = it->second;
        c.mount = "/";
        out.push_back(c);
    }
    char next = 'D';
    for (const auto &[point, source] : sourceByPoint) {  // std::map: sorted by path
        if (point == "/") continue;
        if (next > 'Z') break;
        DriveEntry e;
        e.letter = next++;
        e.source = source;
        e.mount = point;
        out.push_back(e);
    }
    return out;
}

std::vector<DriveEntry> driveTable() {
    bool ok = false;
    std::string map = driveMapPath();
    if (!map.empty()) {
        std::string text = readWholeFile(map, &ok);
        return ok ? parseDriveMap(text, parentFolder(map)) : std::vector<DriveEntry>{};
    }
    std::string text = readWholeFile("/proc/self/mountinfo", &ok);
    return ok ? parseMountInfo(text) : std::vector<DriveEntry>{};
}

uint32_t logicalDriveMask() {
    uint32_t mask = 0;
    for (const DriveEntry &e : driveTable()) mask |= 1u << (e.letter - 'A');
    return mask;
}

std::optional<uint64_t> fatTotalBytes(const uint8_t *bs) {
    if (bs[510] != 0x55 || bs[511] != 0xAA) return std::nullopt;
    uint32_t bps = bo::getLE16(bs + 11);
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return std::nullopt;
    uint32_t spc = bs[13];
    if (spc == 0 || (spc & (spc - 1)) != 0) return std::nullopt;
    uint32_t reserved = bo::getLE16(bs + 14);
    uint32_t fats = bs[16];
    uint32_t rootEntries = bo::getLE16(bs + 17);
    uint32_t total = bo::getLE16(bs + 19);
    if (total == 0) total = bo::getLE32(bs + 32);
    uint32_t fatSize = bo::getLE16(bs + 22);
    if (fatSize == 0) fatSize = bo::getLE32(bs + 36);
    if (reserved == 0 || fats == 0 || fatSize == 0) return std::nullopt;
    uint64_t overhead = uint64_t(reserved) + uint64_t(fats) * fatSize +
                        (uint64_t(rootEntries) * 32 + bps - 1) / bps;
    if (total <= overhead) return std::nullopt;
    uint64_t clusters = (total - overhead) / spc;
    if (clusters == 0) return std::nullopt;
    return clusters * spc * bps;
}

std::optional<uint64_t> volumeTotalBytes(const char *drive) {
    char letter = driveLetter(drive);
    if (!letter) return std::nullopt;
    std::optional<DriveEntry> e = findDrive(letter);
    if (!e) return std::nullopt;
    if (!e->mount.empty()) {
        struct statvfs sv {};
        if (::statvfs(e->mount.c_str(), &sv) != 0) return std::nullopt;
        return uint64_t(sv.f_blocks) * sv.f_frsize;
    }
    uint8_t bs[kSector];
    if (!readSector(*e, 0, bs)) return std::nullopt;
    return fatTotalBytes(bs);
}

bool readVolumeSector(uint32_t driveIndex, uint32_t sector, uint8_t *out512) {
    if (driveIndex >= 26 || out512 == nullptr) return false;
    std::optional<DriveEntry> e = findDrive(char('A' + driveIndex));
    return e && readSector(*e, sector, out512);
}

bool readVolumeSectorLegacy(uint32_t, uint32_t, uint8_t *) { return false; }

bool createDriveFile(const std::string &drivePath, const uint8_t *data, size_t size,
                     uint8_t attributes) {
    if (drivePath.size() < 3 || drivePath[1] != ':' || (size > 0 && data == nullptr)) return false;
    char letter = driveLetter(drivePath.substr(0, 1).c_str());
    if (!letter) return false;
    std::string rest = drivePath.substr(2);
    while (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) rest.erase(0, 1);
    if (rest.empty()) return false;
    std::optional<DriveEntry> e = findDrive(letter);
    if (!e || e->readOnly || e->cdrom) return false;

    if (!e->mount.empty()) {
        std::replace(rest.begin(), rest.end(), '\\', '/');
        for (const std::string &part : split(rest, '/'))
            if (part == "..") return false;  // stay on the drive
        std::string path = e->mount + "/" + rest;
        // Write-through, as the file is created for a device that reads it at once.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        bool ok = true;
        size_t done = 0;
        while (ok && done < size) {
            ssize_t n = ::write(fd, data + done, size - done);
            if (n <= 0) ok = false;
            else done += size_t(n);
        }
        ok = ::fsync(fd) == 0 && ok;
        ok = ::close(fd) == 0 && ok;
        return ok;
    }

    if (rest.find_first_of("\\/") != std::string::npos) return false;  // root directory only
    char name83[11];
    if (!toShortName(rest, name83)) return false;
    return writeFatRootFile(e->source, e->offset, e->length, name83, data, size, attributes,
                            int64_t(std::time(nullptr)));
}

std::string driveOfDirectory(const std::string &dir) {
    if (dir.empty()) return {};
    std::string path = canonical(dir);
    char best = 0;
    size_t bestLength = 0;
    for (const DriveEntry &e : driveTable()) {
        if (e.mount.empty()) continue;
        std::string m = canonical(e.mount);
        bool inside = path == m || m == "/" || (path.size() > m.size() && path.compare(0, m.size(), m) == 0 &&
                                                path[m.size()] == '/');
        if (inside && (best == 0 || m.size() > bestLength)) {
            best = e.letter;
            bestLength = m.size();
        }
    }
    if (!best) return {};
    return std::string(1, best) + ":";
}

} // namespace platform
