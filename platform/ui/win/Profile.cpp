// The profile reader on Windows: the system's own GetPrivateProfileStringA, so
// that the programs read their INI files exactly as every other program on the
// machine does. Writing and whole-section reads stay with IniFile.
#include "platform/IniFile.h"

#include <windows.h>

#include <vector>

namespace platform {

std::string getProfileString(const std::string &path, const std::string &section, const std::string &key,
                             const std::string &fallback) {
    // A bare or relative name would be looked for in the Windows directory, not
    // beside the caller: the profile functions need the full path.
    std::string full = path;
    if (!path.empty()) {
        char buffer[MAX_PATH * 2];
        const DWORD n = GetFullPathNameA(path.c_str(), DWORD(sizeof buffer), buffer, nullptr);
        if (n > 0 && n < sizeof buffer) full.assign(buffer, n);
    }
    // The system keeps the profile of a missing file empty rather than failing.
    if (path.empty() || GetFileAttributesA(full.c_str()) == INVALID_FILE_ATTRIBUTES) return fallback;
    // A line that begins with ';' is a comment to the INI reader of the other
    // platforms, but a key like any other to the system's: asked for such a key,
    // answer as they do.
    const size_t first = key.find_first_not_of(" \t");
    if (first != std::string::npos && key[first] == ';') return fallback;
    std::vector<char> value(kProfileValueMax + 1, '\0');
    const DWORD got = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), value.data(),
                                               DWORD(value.size()), full.c_str());
    return std::string(value.data(), got);
}

} // namespace platform
