// Link-proof opening and creating of the launcher's files on Linux.
#include "PrivateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace lzari {

namespace {

// O_NONBLOCK keeps an open of a FIFO from hanging until someone reads it; the
// check below then refuses it. Cleared again for the real reads and writes.
bool keepOnlyRegular(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

} // namespace

int openRegularForReading(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    if (!keepOnlyRegular(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int createRegularFile(const std::string &path, unsigned mode) {
    // No O_TRUNC here: truncation waits until the name is known to be a regular
    // file, so a device or pipe planted under the name is never touched.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode_t(mode));
    if (fd < 0) return -1;
    if (!keepOnlyRegular(fd) || ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    // A file left by an earlier run keeps its old bits otherwise; the login
    // program must be executable whatever was there before. Not fatal: a file
    // of someone else's that we may write but not chmod is still written.
    (void)fchmod(fd, mode_t(mode));
    return fd;
}

bool removeName(const std::string &path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

bool replaceWith(const std::string &from, const std::string &to) { return std::rename(from.c_str(), to.c_str()) == 0; }

} // namespace lzari
