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
#if defined(_WIN32)
    // The system's own resolution, in the ANSI code page the name came in and
    // the library reads it in. std::filesystem's narrow strings are UTF-8 with
    // MinGW's libstdc++, so a folder named "Müll" would come back as another.
    // It also resolves "D:disk" against drive D:'s current folder and turns
    // '/' into '\'.
    std::string full(MAX_PATH, '\0');
    for (;;) {
        DWORD n = GetFullPathNameA(name.c_str(), DWORD(full.size()), full.data(), nullptr);
        if (n == 0) return name;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n); // n counts the terminating NUL when the buffer is short
    }
    // "disk\" and "disk" name the same folder; the trailing separator would
    // only make file names built from it unlike the ones built before. A
    // drive's root ("C:\") keeps it.
    while (full.size() > 3 && (full.back() == '\\' || full.back() == '/')) full.pop_back();
    return full;
#else
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(name), ec);
    if (ec) return name;
    absolute = absolute.lexically_normal();
    // "disk/" and "disk" name the same folder; the trailing separator would
    // only make file names built from it unlike the ones built before.
    if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    return absolute.string();
#endif
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
