// Host-process paths on Linux: /proc/self/exe, getcwd/chdir, and the user's
// private temporary folder.
#include "platform/Paths.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {

std::string executablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (size_t(n) < buffer.size()) return std::string(buffer.data(), size_t(n));
        if (buffer.size() >= (1u << 20)) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string programDirectory() {
    std::string path = executablePath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string currentDirectory() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() >= (1u << 20)) return {};
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

bool setCurrentDirectory(const std::string &path) { return !path.empty() && ::chdir(path.c_str()) == 0; }

namespace {

std::string withSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

// A folder that only this user can enter: a real directory, not a link, ours,
// with no permission bits for group or others.
bool isPrivateDirectory(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

} // namespace

std::string temporaryDirectory() {
    // The runtime folder is taken on the same terms as the fallback: with su or
    // sudo -E it is still the other user's, who could have planted the programs
    // and links that would then be run or written through with these rights.
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        std::string folder = runtime;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (isPrivateDirectory(folder)) return withSlash(folder);
    }

    const char *tmp = std::getenv("TMPDIR");
    std::string base = (tmp && *tmp) ? std::string(tmp) : std::string("/tmp");
    std::string folder = withSlash(base) + "quendal-" + std::to_string(::geteuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    // Checked also right after creating it: mkdir does not follow a link planted at
    // the name, but an EEXIST may be anybody's folder or link.
    if (!isPrivateDirectory(folder)) return {};
    return folder + '/';
}

std::string hostPath(std::string_view systemPath, const DriveRootFn &driveRoot) {
    std::string rest;
    std::string root;
    bool onDrive = systemPath.size() >= 2 && systemPath[1] == ':' &&
                   ((systemPath[0] >= 'A' && systemPath[0] <= 'Z') || (systemPath[0] >= 'a' && systemPath[0] <= 'z'));
    if (onDrive) {
        char letter = systemPath[0];
        if (letter >= 'a') letter = char(letter - 'a' + 'A');
        if (!driveRoot) return {};
        root = driveRoot(letter);
        if (root.empty()) return {};
        systemPath.remove_prefix(2);
    }
    rest.reserve(systemPath.size());
    for (char c : systemPath) rest += (c == '\\') ? '/' : c;
    if (!onDrive) return rest;

    // "X:" and "X:\" are the drive's root; "X:name" is taken from the root as well,
    // since the host keeps no current directory per drive.
    while (!root.empty() && root.size() > 1 && root.back() == '/') root.pop_back();
    size_t skip = 0;
    while (skip < rest.size() && rest[skip] == '/') ++skip;
    rest.erase(0, skip);
    if (rest.empty()) return root;
    return (root == "/" ? root : root + '/') + rest;
}

} // namespace platform
