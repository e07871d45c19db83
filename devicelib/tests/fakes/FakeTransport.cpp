// A stand-in transport for the library's tests: it exports the transport's
// operations (each one can be left out at build time) and records every call,
// with the exact command bytes, in a log file, one line per call.
//
// Set by the test through the environment:
//   FAKE_SCSI_LOG         file the calls are appended to
//   FAKE_SCSI_SECTORS     folder of 512-byte answers to ReadDisk, one file per
//                         address named by 8 lower-case hex digits; zeros otherwise
//   FAKE_SCSI_FAIL_READS  ReadDisk fails (buffer untouched) at these addresses
//                         (hex, comma-separated); "<address>@<n>" fails from the
//                         n-th read of that address on
//   FAKE_SCSI_INIT        result of InitDisk (default 0)
//   FAKE_SCSI_WRITE       result of WriteDisk (default 1)
//   FAKE_SCSI_SCSI        result of ReadScsi/WriteScsi (default 0x10001)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#if defined(_WIN32)
#define FAKE_API extern "C" __declspec(dllexport)
#else
#define FAKE_API extern "C" __attribute__((visibility("default")))
#endif

namespace {

const char *env(const char *name) {
    const char *v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

int32_t envInt(const char *name, int32_t fallback) {
    const char *v = env(name);
    return v ? int32_t(std::strtol(v, nullptr, 0)) : fallback;
}

void logLine(const std::string &line) {
    const char *path = env("FAKE_SCSI_LOG");
    if (!path) return;
    if (FILE *f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::string hex32(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", v);
    return text;
}

std::string cdbText(const uint8_t *cdb) {
    if (!cdb) return "null";
    std::string text;
    char byte[4];
    for (int i = 0; i < 12; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", cdb[i]);
        text += byte;
    }
    return text;
}

[[maybe_unused]] bool readFails(uint32_t address) {
    static std::map<uint32_t, unsigned> readsSoFar;
    unsigned nth = ++readsSoFar[address];
    const char *list = env("FAKE_SCSI_FAIL_READS");
    if (!list) return false;
    std::string all = std::string(",") + list + ",";
    std::string name = hex32(address);
    if (all.find("," + name + ",") != std::string::npos) return true;
    size_t at = all.find("," + name + "@");
    if (at == std::string::npos) return false;
    unsigned from = unsigned(std::strtoul(all.c_str() + at + name.size() + 2, nullptr, 10));
    return nth >= from;
}

} // namespace

#ifndef FAKE_WITHOUT_InitDisk
FAKE_API int32_t InitDisk(void *params) {
    logLine(std::string("InitDisk ") + (params ? "params" : "null"));
    return envInt("FAKE_SCSI_INIT", 0);
}
#endif

#ifndef FAKE_WITHOUT_DiskFree
FAKE_API int32_t DiskFree(void) {
    logLine("DiskFree");
    return 7;
}
#endif

#ifndef FAKE_WITHOUT_ReadDisk
FAKE_API int32_t ReadDisk(uint32_t address, uint32_t count, void *buffer) {
    logLine("ReadDisk " + hex32(address) + " " + std::to_string(count));
    if (readFails(address)) return 0;
    if (!buffer) return 0;
    std::memset(buffer, 0, size_t(count) * 512);
    if (const char *dir = env("FAKE_SCSI_SECTORS")) {
        std::string file = std::string(dir) + "/" + hex32(address);
        if (FILE *f = std::fopen(file.c_str(), "rb")) {
            size_t got = std::fread(buffer, 1, 512, f);
            (void)got;
            std::fclose(f);
        }
    }
    return 1;
}
#endif

#ifndef FAKE_WITHOUT_WriteDisk
FAKE_API int32_t WriteDisk(uint32_t address, uint32_t count, const void *data) {
    logLine("WriteDisk " + hex32(address) + " " + std::to_string(count) + (data ? "" : " null"));
    return envInt("FAKE_SCSI_WRITE", 1);
}
#endif

#ifndef FAKE_WITHOUT_ReadScsi
FAKE_API int32_t ReadScsi(const uint8_t *cdb12, void *buffer, uint32_t length) {
    logLine("ReadScsi " + cdbText(cdb12) + " len=" + std::to_string(length));
    if (buffer) std::memset(buffer, 0xA5, length);
    return envInt("FAKE_SCSI_SCSI", 0x10001);
}
#endif

#ifndef FAKE_WITHOUT_WriteScsi
FAKE_API int32_t WriteScsi(const uint8_t *cdb12, const void *data, uint32_t length) {
    logLine("WriteScsi " + cdbText(cdb12) + " len=" + std::to_string(length) + (data ? "" : " null"));
    return envInt("FAKE_SCSI_SCSI", 0x10001);
}
#endif

#ifndef FAKE_WITHOUT_GetDiskVolume
FAKE_API int32_t GetDiskVolume(uint32_t value) {
    logLine("GetDiskVolume " + std::to_string(value));
    return int32_t(value) + 100;
}
#endif

#ifndef FAKE_WITHOUT_DisMountDisk
FAKE_API int32_t DisMountDisk(void) {
    logLine("DisMountDisk");
    return 1;
}
#endif

#ifndef FAKE_WITHOUT_GetOsVersion
FAKE_API int32_t GetOsVersion(void) {
    logLine("GetOsVersion");
    return 0x0605;
}
#endif
