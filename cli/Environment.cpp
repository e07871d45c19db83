#include "Environment.h"

#include <cstdlib>
#include <filesystem>

#include "FlashEmulator.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace cli {

bool setEnvironment(const char *name, const std::string &value) {
#if defined(_WIN32)
    // An empty value would remove the variable from the C runtime's copy.
    if (value.empty()) return false;
    const bool crt = _putenv_s(name, value.c_str()) == 0;
    const bool process = SetEnvironmentVariableA(name, value.c_str()) != 0;
    return crt && process;
#else
    return ::setenv(name, value.c_str(), 1) == 0;
#endif
}

std::string absoluteName(const std::string &name) {
    if (name.empty()) return name;
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(name), ec);
    if (ec) return name;
    absolute = absolute.lexically_normal();
    // "disk\" and "disk" name the same folder; the trailing separator would
    // only make file names built from it unlike the ones built before.
    if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    return absolute.string();
}

void anchorDiskPaths() {
    // The library makes the program's folder the current directory while it
    // formats; a disk folder named relative to the caller's would then be lost.
    for (const char *name : {flashemu::kDiskEnv, flashemu::kDrivesEnv}) {
        const char *value = std::getenv(name);
        if (!value || !*value) continue;
        const std::string absolute = absoluteName(value);
        if (absolute != value) setEnvironment(name, absolute);
    }
}

} // namespace cli
