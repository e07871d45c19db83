// The user's private data folder and private files on Linux.
#include "platform/PrivateFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::string systemError(const std::string &what) { return what + ": " + std::strerror(errno); }

} // namespace

std::string userDataDirectory() {
    // A relative $XDG_DATA_HOME is ignored, as XDG's base directories say.
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return data;
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/share";
    return {};
}

std::string privateDataFolder(const std::string &sub, std::string *error) {
    std::string path = userDataDirectory();
    if (path.empty()) {
        *error = "neither XDG_DATA_HOME nor HOME names a folder";
        return {};
    }
    // Parents up to the data folder itself are the user's own business; only
    // what is made here gets mode 0700.
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = systemError("cannot create " + part);
            return {};
        }
    }
    size_t start = 0;
    while (start < sub.size()) {
        size_t end = sub.find('/', start);
        if (end == std::string::npos) end = sub.size();
        path += '/' + sub.substr(start, end - start);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = systemError("cannot create " + path);
            return {};
        }
        start = end + 1;
    }
    // A name that existed already may be anybody's folder or a link.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        *error = systemError("cannot examine " + path);
        return {};
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        *error = path + " is not a folder of this user closed to others (mode 0700)";
        return {};
    }
    return path + '/';
}

bool writeNewPrivateFile(const std::string &path, const std::string &content, std::string *error) {
    // O_EXCL refuses any existing name, a link included, so nothing planted there
    // is written through.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = systemError("cannot create " + path);
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok) *error = systemError("cannot write " + path);
    if (::close(fd) != 0 && ok) {
        ok = false;
        *error = systemError("cannot write " + path);
    }
    if (!ok) ::unlink(path.c_str());
    return ok;
}

std::vector<std::string> filesInFolder(const std::string &folder) {
    std::vector<std::string> names;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent *e = ::readdir(dir)) {
        struct stat st {};
        const std::string name = e->d_name;
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

} // namespace platform
