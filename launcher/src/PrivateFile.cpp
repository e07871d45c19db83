// The launcher's files once opened: closing, reading and comparing them, and
// writing them whole, the same on every system (the opening is in
// PrivateFilePosix.cpp and PrivateFileWin.cpp).
#include "PrivateFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace lzari {

UniqueFd::~UniqueFd() { close(); }

bool UniqueFd::close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

namespace {

// The whole of a regular file; false for anything else or on a read error.
bool readRegularFile(const std::string &path, std::vector<uint8_t> *content) {
    UniqueFd fd(openRegularForReading(path));
    if (!fd) return false;
    content->clear();
    uint8_t chunk[8192];
    for (;;) {
        // The C runtime of Windows counts in unsigned int.
        ssize_t n = ::read(fd.get(), chunk, unsigned(sizeof chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        content->insert(content->end(), chunk, chunk + n);
    }
}

} // namespace

bool fileHolds(const std::string &path, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> content;
    return readRegularFile(path, &content) && std::equal(content.begin(), content.end(), bytes.begin(), bytes.end());
}

bool sameContent(const std::string &a, const std::string &b) {
    std::vector<uint8_t> content;
    return readRegularFile(b, &content) && fileHolds(a, content);
}

bool writeWholeFile(const std::string &path, std::span<const uint8_t> data, unsigned mode) {
    UniqueFd fd(createRegularFile(path, mode));
    if (!fd) return false;
    const uint8_t *p = data.data();
    size_t left = data.size();
    while (left > 0) {
        // The C runtime of Windows counts in unsigned int.
        ssize_t n = ::write(fd.get(), p, std::min(left, size_t(1) << 30));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= size_t(n);
    }
    return fd.close();
}

} // namespace lzari
