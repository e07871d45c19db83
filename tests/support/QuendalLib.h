// Test support: Quendal.dll loaded by bare name from the test program's own
// folder, the way any host loads it, with every export bound by name.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "Quendal.h"

namespace testsupport {

inline std::string programDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

struct QuendalLib {
    void *module = nullptr;
#define QUENDAL_EXPORT(name) decltype(&::name) name = nullptr;
#include "QuendalExports.inc"
#undef QUENDAL_EXPORT

    explicit QuendalLib(const std::string &dir = programDirectory()) {
        std::string path = dir + "/Quendal.dll";
        module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) throw std::runtime_error(std::string("cannot load Quendal.dll: ") + dlerror());
#define QUENDAL_EXPORT(name)                                                                   \
    name = reinterpret_cast<decltype(&::name)>(dlsym(module, #name));                          \
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
    std::filesystem::path path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quendal-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string str() const { return path.string(); }
};

} // namespace testsupport
