// The launcher's files once opened: closing them and writing them whole, the
// same on every system (the opening is in PrivateFilePosix.cpp and
// PrivateFileWin.cpp).
#include "PrivateFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace lzari {

UniqueFd::~UniqueFd() { close(); }

bool UniqueFd::close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
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
