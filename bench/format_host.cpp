// A minimal host for timing FormatDisk: loads Quendal.dll by bare name from its
// own folder, as any host does, opens the emulated flash disk named by
// FLASHDISK_EMULATOR and formats it with the area sizes given.
//
//   format_host create DIR SECTORS        make a factory-fresh emulated disk
//   format_host format MODE SIZE0 [SIZE1 [SIZE2]]
//
// Exit status 0 when the format succeeded; otherwise the library's error code
// is printed. With FORMAT_HOST_PHASES set, the time at which each progress
// phase begins (ms since the call) goes to standard error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FlashEmulator.h"
#include "QuendalLib.h"

namespace {

std::chrono::steady_clock::time_point gStart;
std::string gPhase;

int32_t phaseClock(int32_t, const char *text) {
    if (gPhase != text) {
        gPhase = text;
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - gStart).count();
        std::fprintf(stderr, "%9.2f ms  %s\n", ms, text);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 4 && std::strcmp(argv[1], "create") == 0) {
        flashemu::DiskOptions o;
        o.sectors = uint32_t(std::strtoul(argv[3], nullptr, 10));
        std::string error;
        if (!flashemu::createDisk(argv[2], o, &error)) {
            std::fprintf(stderr, "format_host: %s\n", error.c_str());
            return 2;
        }
        return 0;
    }
    if (argc < 4 || std::strcmp(argv[1], "format") != 0 || argc > 7) {
        std::fprintf(stderr, "usage: format_host create DIR SECTORS | format MODE SIZE0 [SIZE1 [SIZE2]]\n");
        return 2;
    }
    auto &q = testsupport::lib();
    if (!q.LoadDiskLib()) {
        std::fprintf(stderr, "format_host: LoadDiskLib failed (%d)\n", q.GetErrorCode());
        return 1;
    }
    InitDiskParams params{};
    if (q.InitFlashDisk(&params) != 0) {
        std::fprintf(stderr, "format_host: no disk (set %s)\n", flashemu::kDiskEnv);
        return 1;
    }
    uint8_t table[512];
    q.InitVariable();
    q.GetConfigTable(table);
    q.UpdateParam();
    q.GetDiskCapacity();

    FormatSettings s{};
    s.mode = uint8_t(std::atoi(argv[2]));
    s.areaCount = uint32_t(argc - 3);
    for (int i = 3; i < argc; ++i) s.areaSize[i - 3] = uint32_t(std::strtoul(argv[i], nullptr, 10));
    const bool phases = std::getenv("FORMAT_HOST_PHASES") != nullptr;
    gStart = std::chrono::steady_clock::now();
    uint8_t ok = q.FormatDisk(&s, phases ? phaseClock : nullptr);
    if (phases) phaseClock(0, "(returned)");
    if (!ok) std::fprintf(stderr, "format_host: FormatDisk failed, error code %d\n", q.GetErrorCode());
    q.FreeFlashDisk();
    q.FreeDiskLib();
    return ok ? 0 : 1;
}
