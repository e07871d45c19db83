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

void anchorDiskPaths() {
    // The library makes the program's folder the current directory while it
    // formats; a disk folder named relative to the caller's would then be lost.
    // On Windows a name like "D:disk" is relative to the current folder of
    // drive D:, which is lost just the same.
    for (const char *name : {flashemu::kDiskEnv, flashemu::kDrivesEnv}) {
        const char *value = std::getenv(name);
        if (!value || !*value) continue;
        std::error_code ec;
        std::filesystem::path given(value);
        std::filesystem::path absolute = std::filesystem::absolute(given, ec);
        if (ec) continue;
        absolute = absolute.lexically_normal();
        // "disk\" and "disk" name the same folder; the trailing separator would
        // only make the emulator's file names unlike the ones it wrote before.
        if (!absolute.has_filename() && absolute.has_relative_path())
            absolute = absolute.parent_path();
        setEnvironment(name, absolute.string());
    }
}

} // namespace cli
