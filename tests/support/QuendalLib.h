// Test support: Quendal.dll loaded by bare name from the test program's own
// folder, the way any host loads it, with every export bound by name.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "Quendal.h"
#include "TestProcess.h"

namespace testsupport {

struct QuendalLib {
    void *module = nullptr;
#define QUENDAL_EXPORT(name) decltype(&::name) name = nullptr;
#include "QuendalExports.inc"
#undef QUENDAL_EXPORT

    explicit QuendalLib(const std::string &dir = programDirectory()) {
        const std::string path = (std::filesystem::path(dir) / "Quendal.dll").string();
#ifdef _WIN32
        // The folder of the library is searched for the libraries it links
        // (SCSI.dll), as it is for a library beside the program.
        HMODULE m = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!m) throw std::runtime_error("cannot load " + path + ": error " + std::to_string(GetLastError()));
        module = reinterpret_cast<void *>(m);
        auto bind = [m](const char *name) { return reinterpret_cast<void *>(GetProcAddress(m, name)); };
#else
        module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) throw std::runtime_error(std::string("cannot load Quendal.dll: ") + dlerror());
        auto bind = [this](const char *name) { return dlsym(module, name); };
#endif
#define QUENDAL_EXPORT(name)                                                                                           \
    name = reinterpret_cast<decltype(&::name)>(bind(#name));                                                           \
    if (!name) throw std::runtime_error("Quendal.dll lacks " #name);
#include "QuendalExports.inc"
#undef QUENDAL_EXPORT
    }
    ~QuendalLib() {
        // The library stays mapped for the life of the test program: its state is
        // process-wide, and tests reset it through the exports.
    }
    QuendalLib(const QuendalLib &) = delete;
    QuendalLib &operator=(const QuendalLib &) = delete;
};

// One instance per test program.
inline QuendalLib &lib() {
    static QuendalLib instance;
    return instance;
}

// A fresh temporary directory, removed at the end of its scope.
struct TempDir {
    std::filesystem::path path = makeScratchFolder();
    TempDir() = default;
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string str() const { return path.string(); }
};

} // namespace testsupport
