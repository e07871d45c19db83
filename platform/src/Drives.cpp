// The drive table and the per-drive operations the library relies on: which
// letters exist, a volume's size, one raw sector of a volume, a file on a
// drive, and the drive holding a directory. docs/drive-map.md describes where
// the letters come from.
#include "platform/Drives.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <map>
#if !defined(_WIN32)
#include <filesystem>
#endif

#include "fat_layout.h"
#include "file_io.h"
#include "text_io.h"

namespace platform {
namespace {

constexpr uint32_t kSector = 512;
// Emulator variables (the emulator's own header names them the same way).
constexpr const char kDrivesEnv[] = "FLASHDISK_DRIVES";
constexpr const char kEmulatorEnv[] = "FLASHDISK_EMULATOR";

#ifdef _WIN32
constexpr char kSeparator = '\\';
bool isSeparator(char c) { return c == '\\' || c == '/'; }
#else
constexpr char kSeparator = '/';
bool isSeparator(char c) { return c == '/'; }
#endif

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
    if (drive[1] == ':' && drive[2] != '\0' && !((drive[2] == '\\' || drive[2] == '/') && drive[3] == '\0')) return 0;
    return char(std::toupper(static_cast<unsigned char>(drive[0])));
}

std::optional<DriveEntry> findDrive(char letter) {
    for (const DriveEntry &e : driveTable())
        if (e.letter == letter) return e;
    return std::nullopt;
}

// Through fileio rather than streams, which would bring the C++ runtime's
// locale machinery into the statically linked Windows library.
std::string readWholeFile(const std::string &path, bool *ok) {
    std::string text;
    *ok = fileio::readWholeFile(path, &text);
    return text;
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescapeMountField(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out.push_back(char(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

#ifdef _WIN32
// While held, a drive without its medium (an empty card reader) fails the call
// instead of asking the user to insert a disk.
class QuietDriveErrors {
public:
    QuietDriveErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_); }
    ~QuietDriveErrors() { SetThreadErrorMode(old_, nullptr); }
    QuietDriveErrors(const QuietDriveErrors &) = delete;
    QuietDriveErrors &operator=(const QuietDriveErrors &) = delete;

private:
    DWORD old_ = 0;
};

// The volume's bytes from its offset on: the map's length, else what the
// source holds past the offset; empty when that is nothing.
std::optional<uint64_t> volumeSpan(const DriveEntry &e, std::optional<uint64_t> sourceBytes) {
    if (e.length != 0) return e.length;
    if (!sourceBytes || *sourceBytes <= e.offset) return std::nullopt;
    return *sourceBytes - e.offset;
}

bool isDevicePath(const std::string &source) { return source.rfind("\\\\.\\", 0) == 0; }

// A volume or disk opened as a device ("\\.\E:") is read only in whole
// sectors of its own size, into memory aligned to them: the 512 bytes wanted
// are cut out of the device sectors that hold them.
bool readDeviceSector(const DriveEntry &e, uint64_t sector, uint8_t *out512) {
    QuietDriveErrors quiet;
    HANDLE h = CreateFileA(e.source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = false;
    DWORD got = 0;
    DISK_GEOMETRY geometry{};
    uint32_t deviceSector = kSector;
    if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &got, nullptr) &&
        geometry.BytesPerSector >= kSector && (geometry.BytesPerSector & (geometry.BytesPerSector - 1)) == 0)
        deviceSector = geometry.BytesPerSector;
    GET_LENGTH_INFORMATION length{};
    std::optional<uint64_t> deviceBytes;
    if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got, nullptr))
        deviceBytes = uint64_t(length.Length.QuadPart);
    std::optional<uint64_t> span = volumeSpan(e, deviceBytes);
    // Without a known size the device itself refuses reads past its end.
    bool inside = span ? (sector + 1) * kSector <= *span : e.length == 0;
    if (inside) {
        uint64_t at = e.offset + sector * kSector;
        uint64_t first = at / deviceSector * deviceSector;
        DWORD bytes = DWORD((at + kSector - first + deviceSector - 1) / deviceSector * deviceSector);
        void *buffer = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        LARGE_INTEGER position;
        position.QuadPart = LONGLONG(first);
        if (buffer && SetFilePointerEx(h, position, nullptr, FILE_BEGIN) && ReadFile(h, buffer, bytes, &got, nullptr) &&
            got == bytes) {
            std::memcpy(out512, static_cast<uint8_t *>(buffer) + (at - first), kSector);
            ok = true;
        }
        if (buffer) VirtualFree(buffer, 0, MEM_RELEASE);
    }
    CloseHandle(h);
    return ok;
}

bool readSector(const DriveEntry &e, uint64_t sector, uint8_t *out512) {
    if (isDevicePath(e.source)) return readDeviceSector(e, sector, out512);
    fileio::File file(e.source, fileio::File::Mode::Read);
    if (!file.isOpen()) return false;
    std::optional<uint64_t> span = volumeSpan(e, file.size());
    if (!span || (sector + 1) * kSector > *span) return false;
    return file.readAt(e.offset + sector * kSector, out512, kSector);
}
#else
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

// A directory in the form mounts are compared in: absolute, without links
// where they can be resolved, without a trailing separator except at a root;
// on Windows with '\\' only and in lower case, as its file names ignore case.
std::string comparable(const std::string &path) {
#ifdef _WIN32
    char buffer[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    std::string s = (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : path;
    std::replace(s.begin(), s.end(), '/', '\\');
    for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    while (s.size() > 3 && s.back() == '\\') s.pop_back();
    return s;
#else
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    if (ec) p = std::filesystem::path(path).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
#endif
}

// path lies in directory m (both comparable()).
bool isInside(const std::string &path, const std::string &m) {
    if (path == m) return true;
    if (path.size() <= m.size() || path.compare(0, m.size(), m) != 0) return false;
    return isSeparator(m.back()) || isSeparator(path[m.size()]);
}

#ifdef _WIN32
// The system's own drives: every letter of GetLogicalDrives, its volume as a
// device, its root as the mount.
std::vector<DriveEntry> systemDrives() {
    std::vector<DriveEntry> out;
    DWORD mask = GetLogicalDrives();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (!(mask & (1u << (letter - 'A')))) continue;
        DriveEntry e;
        e.letter = letter;
        e.source = std::string("\\\\.\\") + letter + ":";
        e.mount = std::string(1, letter) + ":\\";
        e.cdrom = GetDriveTypeA(e.mount.c_str()) == DRIVE_CDROM;
        e.readOnly = e.cdrom;
        out.push_back(e);
    }
    return out;
}

// Data clusters x cluster size of the file system holding directory.
std::optional<uint64_t> mountedTotalBytes(const std::string &directory) {
    QuietDriveErrors quiet;
    std::string root = directory;
    if (!isSeparator(root.back())) root += '\\';
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    bool isRoot = root.size() == 3 && root[1] == ':';
    if (isRoot && GetDiskFreeSpaceA(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return uint64_t(sectorsPerCluster) * bytesPerSector * totalClusters;
    // A folder, or a volume whose cluster count does not fit the old call.
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) return std::nullopt;
    return uint64_t(total.QuadPart);
}

// Creates the file with exactly these bytes, written through to the device,
// then gives it the attributes. An existing file of that name is replaced
// whatever its attributes were.
bool writeMountedFile(const std::string &path, const uint8_t *data, size_t size, uint8_t attributes) {
    QuietDriveErrors quiet;
    DWORD old = GetFileAttributesA(path.c_str());
    if (old != INVALID_FILE_ATTRIBUTES) {
        if (old & FILE_ATTRIBUTE_DIRECTORY) return false;
        if (!SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL)) return false;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < size) {
        DWORD chunk = DWORD(std::min<size_t>(size - done, 1u << 30));
        DWORD written = 0;
        ok = WriteFile(h, data + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = FlushFileBuffers(h) && ok;
    ok = CloseHandle(h) && ok;
    DWORD wanted = attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive);
    if (ok && wanted) ok = SetFileAttributesA(path.c_str(), wanted) != 0;
    return ok;
}
#else
// Data clusters x cluster size of the file system holding directory.
std::optional<uint64_t> mountedTotalBytes(const std::string &directory) {
    struct statvfs sv {};
    if (::statvfs(directory.c_str(), &sv) != 0) return std::nullopt;
    return uint64_t(sv.f_blocks) * sv.f_frsize;
}

// Attributes have no place in the host's file system: only the bytes go.
bool writeMountedFile(const std::string &path, const uint8_t *data, size_t size, uint8_t) {
    // Write-through, as the file is created for a device that reads it at once.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            ok = false;
        else
            done += size_t(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    return ok;
}
#endif

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
    textio::LineReader in(text);
    std::string line;
    while (in.next(line)) {
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
        if (e.source.empty() || !parseUnsigned(f[2], &e.offset) || !parseUnsigned(f[3], &e.length)) continue;
        if (e.offset % kSector != 0) continue; // a boot sector starts on a sector
        bool badFlag = false;
        if (f.size() > 4) {
            for (const std::string &flag : split(f[4], ',')) {
                if (flag == "ro")
                    e.readOnly = true;
                else if (flag == "rw")
                    e.readOnly = false;
                else if (flag == "cdrom")
                    e.cdrom = true;
                else if (!flag.empty())
                    badFlag = true;
            }
        }
        if (badFlag) continue;
        if (f.size() > 5) e.mount = f[5];
        byLetter.emplace(letter, e); // the first line for a letter wins
    }
    std::vector<DriveEntry> out;
    for (auto &[letter, e] : byLetter) out.push_back(e);
    return out;
}

std::vector<DriveEntry> parseMountInfo(const std::string &text) {
    // Later mounts on the same point hide earlier ones: keep the last.
    std::map<std::string, std::string> sourceByPoint;
    textio::LineReader in(text);
    std::string line;
    while (in.next(line)) {
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
    for (const auto &[point, source] : sourceByPoint) { // std::map: sorted by path
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
#ifdef _WIN32
    return systemDrives();
#else
    std::string text = readWholeFile("/proc/self/mountinfo", &ok);
    return ok ? parseMountInfo(text) : std::vector<DriveEntry>{};
#endif
}

uint32_t logicalDriveMask() {
    uint32_t mask = 0;
    for (const DriveEntry &e : driveTable()) mask |= 1u << (e.letter - 'A');
    return mask;
}

std::optional<uint64_t> volumeTotalBytes(const char *drive) {
    char letter = driveLetter(drive);
    if (!letter) return std::nullopt;
    std::optional<DriveEntry> e = findDrive(letter);
    if (!e) return std::nullopt;
    if (!e->mount.empty()) return mountedTotalBytes(e->mount);
    uint8_t bs[kSector];
    if (!readSector(*e, 0, bs)) return std::nullopt;
    const auto geometry = fat::readGeometry(bs);
    if (!geometry) return std::nullopt;
    return geometry->dataBytes();
}

bool readVolumeSector(uint32_t driveIndex, uint32_t sector, uint8_t *out512) {
    if (driveIndex >= 26 || out512 == nullptr) return false;
    std::optional<DriveEntry> e = findDrive(char('A' + driveIndex));
    return e && readSector(*e, sector, out512);
}

bool createDriveFile(const std::string &drivePath, const uint8_t *data, size_t size, uint8_t attributes) {
    if (drivePath.size() < 3 || drivePath[1] != ':' || (size > 0 && data == nullptr)) return false;
    char letter = driveLetter(drivePath.substr(0, 1).c_str());
    if (!letter) return false;
    std::string rest = drivePath.substr(2);
    while (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) rest.erase(0, 1);
    if (rest.empty()) return false;
    std::optional<DriveEntry> e = findDrive(letter);
    if (!e || e->readOnly || e->cdrom) return false;

    if (!e->mount.empty()) {
        std::replace(rest.begin(), rest.end(), kSeparator == '/' ? '\\' : '/', kSeparator);
        for (const std::string &part : split(rest, kSeparator))
            if (part == "..") return false; // stay on the drive
        std::string path = e->mount;
        if (!isSeparator(path.back())) path += kSeparator;
        return writeMountedFile(path + rest, data, size, attributes);
    }

    if (rest.find_first_of("\\/") != std::string::npos) return false; // root directory only
    char name83[11];
    if (!toShortName(rest, name83)) return false;
    return writeFatRootFile(e->source, e->offset, e->length, name83, data, size, attributes,
                            int64_t(std::time(nullptr)));
}

std::string driveOfDirectory(const std::string &dir) {
    if (dir.empty()) return {};
    std::string path = comparable(dir);
#ifdef _WIN32
    // The system's drives: the letter the full path starts with.
    if (driveMapPath().empty()) {
        if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) return {};
        char letter = char(std::toupper(static_cast<unsigned char>(path[0])));
        if (!(GetLogicalDrives() & (1u << (letter - 'A')))) return {};
        return std::string(1, letter) + ":";
    }
#endif
    char best = 0;
    size_t bestLength = 0;
    for (const DriveEntry &e : driveTable()) {
        if (e.mount.empty()) continue;
        std::string m = comparable(e.mount);
        if (isInside(path, m) && (best == 0 || m.size() > bestLength)) {
            best = e.letter;
            bestLength = m.size();
        }
    }
    if (!best) return {};
    return std::string(1, best) + ":";
}

} // namespace platform
