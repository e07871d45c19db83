// Host-process paths on Windows: GetModuleFileName, the current directory, and
// the user's own temporary folder. Paths are the system's own; nothing is
// translated.
#include "platform/Paths.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace platform {

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Calls fill(buffer, size) until the answer fits; fill returns the length
// written, or the size needed when the buffer is too small, or 0 on failure.
template <typename Fill> std::string grow(Fill fill) {
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD n = fill(buffer.data(), DWORD(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= (1u << 16)) return {};
        buffer.resize(std::max<size_t>(buffer.size() * 2, n + 1));
    }
}

} // namespace

std::string executablePath() {
    // GetModuleFileName truncates silently: a result that fills the buffer
    // exactly may be cut, so it is asked again with more room.
    return grow([](char *buffer, DWORD size) -> DWORD {
        DWORD n = GetModuleFileNameA(nullptr, buffer, size);
        return n == size ? size : n;
    });
}

std::string programDirectory() {
    std::string path = executablePath();
    size_t at = path.size();
    while (at > 0 && !isSeparator(path[at - 1])) --at;
    if (at == 0) return {};
    // "C:\" stays whole: "C:" alone would mean C:'s current directory.
    if (at == 3 && path[1] == ':') return path.substr(0, 3);
    return path.substr(0, at - 1);
}

std::string currentDirectory() {
    return grow([](char *buffer, DWORD size) { return GetCurrentDirectoryA(size, buffer); });
}

bool setCurrentDirectory(const std::string &path) { return !path.empty() && SetCurrentDirectoryA(path.c_str()) != 0; }

std::string temporaryDirectory() {
    // The user's own temporary folder (%TMP%, %TEMP% or the profile's), which
    // the system already keeps private to the user.
    std::string folder = grow([](char *buffer, DWORD size) { return GetTempPathA(size, buffer); });
    if (folder.empty()) return {};
    if (!isSeparator(folder.back())) folder += '\\';
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryA(folder.c_str(), nullptr)) return {};
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }
    return folder;
}

std::string hostPath(std::string_view systemPath, const DriveRootFn &driveRoot) {
    bool onDrive = systemPath.size() >= 2 && systemPath[1] == ':' &&
                   ((systemPath[0] >= 'A' && systemPath[0] <= 'Z') || (systemPath[0] >= 'a' && systemPath[0] <= 'z'));
    // Paths are native here: only a drive with a root of its own (a drive of a
    // drive map mounted in some folder) is redirected.
    if (!onDrive || !driveRoot) return std::string(systemPath);
    char letter = systemPath[0];
    if (letter >= 'a') letter = char(letter - 'a' + 'A');
    std::string root = driveRoot(letter);
    if (root.empty()) return {};
    systemPath.remove_prefix(2);
    while (!systemPath.empty() && isSeparator(systemPath.front())) systemPath.remove_prefix(1);
    while (root.size() > 3 && isSeparator(root.back())) root.pop_back();
    if (systemPath.empty()) return root;
    if (!isSeparator(root.back())) root += '\\';
    return root + std::string(systemPath);
}

} // namespace platform
