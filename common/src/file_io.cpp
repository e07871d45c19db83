#include "file_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fileio {

File &File::operator=(File &&other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = kNone;
    }
    return *this;
}

#if defined(_WIN32)

namespace {
// One positional transfer of at most 1 GiB through an OVERLAPPED offset; the
// file position of the handle is irrelevant, so the handle may be shared.
bool transfer(HANDLE h, uint64_t offset, void *buffer, DWORD length, bool write, DWORD *done) {
    OVERLAPPED ov{};
    ov.Offset = DWORD(offset & 0xFFFFFFFFu);
    ov.OffsetHigh = DWORD(offset >> 32);
    *done = 0;
    BOOL ok = write ? WriteFile(h, buffer, length, done, &ov) : ReadFile(h, buffer, length, done, &ov);
    if (!ok && !write && GetLastError() == ERROR_HANDLE_EOF) {
        *done = 0;
        return true;
    }
    return ok != 0;
}
constexpr size_t kChunk = size_t(1) << 30;
} // namespace

bool File::open(const std::string &path, Mode mode) {
    close();
    DWORD access = mode == Mode::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    // CREATE_NEW also fails on a symbolic link or junction at the name, dangling
    // or not, so nothing is created where it points.
    DWORD disposition = mode == Mode::CreateReadWrite ? OPEN_ALWAYS
                        : mode == Mode::CreateNew     ? CREATE_NEW
                                                      : OPEN_EXISTING;
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = h;
    return true;
}

bool File::close() {
    if (handle_ == kNone) return true;
    BOOL ok = CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = kNone;
    return ok != 0;
}

std::optional<size_t> File::readUpTo(uint64_t offset, void *buffer, size_t length) const {
    DWORD n = 0;
    if (!transfer(static_cast<HANDLE>(handle_), offset, buffer, DWORD(std::min(length, kChunk)), false, &n))
        return std::nullopt;
    return size_t(n);
}

bool File::writeAt(uint64_t offset, const void *data, size_t length) {
    auto *p = static_cast<uint8_t *>(const_cast<void *>(data));
    while (length > 0) {
        DWORD n = 0;
        if (!transfer(static_cast<HANDLE>(handle_), offset, p, DWORD(std::min(length, kChunk)), true, &n) || n == 0)
            return false;
        p += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool File::sync() { return FlushFileBuffers(static_cast<HANDLE>(handle_)) != 0; }

std::optional<uint64_t> File::size() const {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(static_cast<HANDLE>(handle_), &s)) return std::nullopt;
    return uint64_t(s.QuadPart);
}

bool File::resize(uint64_t length) {
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = LONGLONG(length);
    return SetFileInformationByHandle(static_cast<HANDLE>(handle_), FileEndOfFileInfo, &info, sizeof info) != 0;
}

ExclusiveLock::ExclusiveLock(const std::string &path, bool wait) {
    if (!file_.open(path, File::Mode::CreateReadWrite)) return;
    OVERLAPPED ov{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    held_ = LockFileEx(static_cast<HANDLE>(file_.handle_), flags, 0, 1, 0, &ov) != 0;
}

ExclusiveLock::~ExclusiveLock() {
    if (held_) {
        OVERLAPPED ov{};
        UnlockFileEx(static_cast<HANDLE>(file_.handle_), 0, 1, 0, &ov);
    }
}

bool fileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const std::string &path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {
bool isSeparator(char c) { return c == '/' || c == '\\'; }
bool makeOneDirectory(const std::string &path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }
bool removeOneFile(const std::string &path) {
    return DeleteFileA(path.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}
} // namespace

uint32_t currentProcessId() { return uint32_t(GetCurrentProcessId()); }

namespace {
bool replaceFile(const std::string &from, const std::string &to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
} // namespace

#else

bool File::open(const std::string &path, Mode mode) {
    close();
    int flags = O_CLOEXEC | (mode == Mode::Read ? O_RDONLY : O_RDWR) | (mode == Mode::CreateReadWrite ? O_CREAT : 0);
    if (mode == Mode::CreateNew) flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
    int fd = ::open(path.c_str(), flags, mode == Mode::CreateNew ? 0600 : 0644);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

bool File::close() {
    if (handle_ == kNone) return true;
    int r = ::close(handle_);
    handle_ = kNone;
    return r == 0;
}

std::optional<size_t> File::readUpTo(uint64_t offset, void *buffer, size_t length) const {
    for (;;) {
        ssize_t n = ::pread(handle_, buffer, length, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        return size_t(n);
    }
}

bool File::writeAt(uint64_t offset, const void *data, size_t length) {
    auto *p = static_cast<const uint8_t *>(data);
    while (length > 0) {
        ssize_t n = ::pwrite(handle_, p, length, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += uint64_t(n);
        length -= size_t(n);
    }
    return true;
}

bool File::sync() { return ::fsync(handle_) == 0; }

std::optional<uint64_t> File::size() const {
    struct stat st;
    if (::fstat(handle_, &st) != 0) return std::nullopt;
    return uint64_t(st.st_size);
}

bool File::resize(uint64_t length) { return ::ftruncate(handle_, off_t(length)) == 0; }

ExclusiveLock::ExclusiveLock(const std::string &path, bool wait) {
    if (!file_.open(path, File::Mode::CreateReadWrite)) return;
    int r;
    while ((r = ::flock(file_.handle_, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {}
    held_ = r == 0;
}

ExclusiveLock::~ExclusiveLock() {} // closing the file drops the lock

bool fileExists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

bool isDirectory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
bool isSeparator(char c) { return c == '/'; }
bool makeOneDirectory(const std::string &path) { return ::mkdir(path.c_str(), 0755) == 0; }
bool removeOneFile(const std::string &path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }
} // namespace

uint32_t currentProcessId() { return uint32_t(::getpid()); }

namespace {
bool replaceFile(const std::string &from, const std::string &to) { return std::rename(from.c_str(), to.c_str()) == 0; }
} // namespace

#endif

// Plain file calls rather than streams: the Windows DLLs link the C++ runtime
// statically, and iostreams bring its whole locale machinery (~800 KB each).
// Both reads on either system: repeated partial reads until the length is
// read or the file ends.
bool File::readAt(uint64_t offset, void *buffer, size_t length) const {
    auto *p = static_cast<uint8_t *>(buffer);
    while (length > 0) {
        const std::optional<size_t> n = readUpTo(offset, p, length);
        if (!n || *n == 0) return false;
        p += *n;
        offset += *n;
        length -= *n;
    }
    return true;
}

bool File::readAtZeroFilled(uint64_t offset, void *buffer, size_t length) const {
    auto *p = static_cast<uint8_t *>(buffer);
    while (length > 0) {
        const std::optional<size_t> n = readUpTo(offset, p, length);
        if (!n) return false;
        if (*n == 0) {
            std::memset(p, 0, length);
            return true;
        }
        p += *n;
        offset += *n;
        length -= *n;
    }
    return true;
}

bool createDirectories(const std::string &path) {
    if (path.empty()) return false;
    // Each parent in turn, from the root down; existing ones are fine.
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && !isSeparator(path[i])) continue;
        std::string part = path.substr(0, i);
        if (part.empty() || isSeparator(part.back()) || (part.size() == 2 && part[1] == ':')) continue;
        if (!isDirectory(part)) makeOneDirectory(part);
    }
    return isDirectory(path);
}

bool removeFile(const std::string &path) { return removeOneFile(path); }

bool readWholeFile(const std::string &path, std::string *content) {
    File f(path, File::Mode::Read);
    if (!f.isOpen()) return false;
    std::string data;
    char chunk[65536];
    for (;;) {
        auto n = f.readUpTo(data.size(), chunk, sizeof chunk);
        if (!n) return false;
        if (*n == 0) break;
        data.append(chunk, *n);
    }
    *content = std::move(data);
    return true;
}

bool writeFileAtomic(const std::string &path, const std::string &content) {
    std::string tmp = path + ".tmp." + std::to_string(currentProcessId());
    {
        std::remove(tmp.c_str());
        File out(tmp, File::Mode::CreateReadWrite);
        bool ok = out.isOpen() && out.resize(0) && (content.empty() || out.writeAt(0, content.data(), content.size()));
        if (!out.close() || !ok) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (!replaceFile(tmp, path)) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace fileio
