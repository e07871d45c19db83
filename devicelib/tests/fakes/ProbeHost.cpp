// A small host program for the library's tests. It loads Quendal.dll the way the
// system's programs do (by bare name, so the copy beside this program wins), then
// calls the exports named on its command line in order and prints one line per
// call, "<argument>=<result>", for the test that started it to check.
//
//   quendal_probe_host [--quendal=<folder>] OP[:arg[:arg]] ...
//
// --quendal loads Quendal.dll from another folder instead. "Mark:<text>" appends
// "-- <text>" to the stand-in transport's log, to tell the calls apart there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Quendal.h"
#include "platform/DynamicLibrary.h"

namespace {

void *gLib = nullptr;

template <typename Fn> Fn bind(const char *name) { return reinterpret_cast<Fn>(platform::bindSymbol(gLib, name)); }

std::vector<std::string> split(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) return parts;
        start = colon + 1;
    }
}

uint32_t arg(const std::vector<std::string> &parts, size_t i) {
    return i < parts.size() ? uint32_t(std::strtoul(parts[i].c_str(), nullptr, 0)) : 0;
}

// Room for the whole request while it fits one command block. A count the
// library must refuse never reaches the transport, so it gets one sector only.
size_t bufferBytes(uint32_t count) { return count <= 0xFFFF ? (size_t(count) + 1) * 512 : 512; }

// Calls one export; false when the library lacks it or the operation is unknown.
bool call(const std::vector<std::string> &p, long long *result) {
    const std::string &op = p[0];
#define CALL0(name)                                                                                                    \
    if (op == #name) {                                                                                                 \
        auto fn = bind<decltype(&::name)>(#name);                                                                      \
        if (!fn) return false;                                                                                         \
        *result = fn();                                                                                                \
        return true;                                                                                                   \
    }
    CALL0(LoadDiskLib)
    CALL0(FreeDiskLib)
    CALL0(FreeFlashDisk)
    CALL0(InitVariable)
    CALL0(GetErrorCode)
    CALL0(GetOsVersion)
    CALL0(ResetDisk)
    CALL0(DiskRemove)
    CALL0(LoginState)
    CALL0(ReverseWriteStatusIfProtect)
    CALL0(UpdateParam)
    CALL0(HaveCfgTbl)
    CALL0(GetDiskSize)
    CALL0(GetDiskCapacity)
#undef CALL0
    if (op == "InitFlashDisk" || op == "InitFlashDiskNull") {
        auto fn = bind<decltype(&::InitFlashDisk)>("InitFlashDisk");
        if (!fn) return false;
        InitDiskParams params{};
        *result = fn(op == "InitFlashDisk" ? &params : nullptr);
        return true;
    }
    if (op == "GetFlashDiskInfo" || op == "GetFlashDiskInfoNull") {
        auto fn = bind<decltype(&::GetFlashDiskInfo)>("GetFlashDiskInfo");
        if (!fn) return false;
        static uint8_t block[512];
        *result = fn(op == "GetFlashDiskInfo" ? block : nullptr);
        return true;
    }
    if (op == "GetConfigTable") {
        auto fn = bind<decltype(&::GetConfigTable)>("GetConfigTable");
        if (!fn) return false;
        static uint8_t table[512];
        *result = fn(table);
        return true;
    }
    if (op == "GetVolume") {
        auto fn = bind<decltype(&::GetVolume)>("GetVolume");
        if (!fn) return false;
        *result = fn(arg(p, 1));
        return true;
    }
    if (op == "ReadFlashDisk" || op == "ReadFlashDiskNull") {
        auto fn = bind<decltype(&::ReadFlashDisk)>("ReadFlashDisk");
        if (!fn) return false;
        uint32_t count = arg(p, 2);
        std::vector<uint8_t> buffer(bufferBytes(count));
        *result = fn(arg(p, 1), count, op == "ReadFlashDisk" ? buffer.data() : nullptr);
        return true;
    }
    if (op == "WriteFlashDisk" || op == "WriteFlashDiskNull") {
        auto fn = bind<decltype(&::WriteFlashDisk)>("WriteFlashDisk");
        if (!fn) return false;
        uint32_t count = arg(p, 2);
        std::vector<uint8_t> data(bufferBytes(count), 0x5A);
        *result = fn(arg(p, 1), count, op == "WriteFlashDisk" ? data.data() : nullptr);
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    int first = 1;
    std::string folder;
    if (argc > 1 && std::string(argv[1]).rfind("--quendal=", 0) == 0) {
        folder = std::string(argv[1]).substr(10);
        first = 2;
    }
    gLib = platform::loadLibrary(folder.empty() ? "Quendal.dll"
                                                : (std::filesystem::path(folder) / "Quendal.dll").string());
    if (!gLib) {
        std::printf("load=0 %s\n", platform::lastLibraryError().c_str());
        return 3;
    }
    for (int i = first; i < argc; ++i) {
        std::string token = argv[i];
        std::vector<std::string> parts = split(token);
        if (parts[0] == "Mark") {
            if (const char *log = std::getenv("FAKE_SCSI_LOG")) {
                if (FILE *f = std::fopen(log, "a")) {
                    std::fprintf(f, "-- %s\n", parts.size() > 1 ? parts[1].c_str() : "");
                    std::fclose(f);
                }
            }
            continue;
        }
        long long result = 0;
        if (call(parts, &result))
            std::printf("%s=%lld\n", token.c_str(), result);
        else
            std::printf("%s=missing\n", token.c_str());
    }
    std::fflush(stdout);
    return 0;
}
