// The failure handler and the table of entry points.
#include <cstdio>
#include <cstdlib>

#include "FuzzTargets.h"

namespace fuzz {

namespace {
[[noreturn]] void abortOnFailure(const char *what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}
FailHandler gHandler = abortOnFailure;
} // namespace

void setFailHandler(FailHandler handler) { gHandler = handler ? handler : abortOnFailure; }

void fuzzFail(const char *what) {
    gHandler(what);
    std::abort(); // a handler that returns is not allowed to let the case go on
}

const std::vector<Target> &targets() {
    static const std::vector<Target> all = {
        {"config_table", configTable, configTableSeeds},
        {"ini_file", iniFile, iniFileSeeds},
        {"fat_copy", fatCopy, fatCopySeeds},
        {"drive_table", driveTable, driveTableSeeds},
    };
    return all;
}

} // namespace fuzz
