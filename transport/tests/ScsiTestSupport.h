// Shared by the transport tests: SCSI.dll bound by name from the program's own
// folder, a disk directory made fresh for each case, and the host-side steps
// (seals, command blocks, information-block writes) that the device expects.
#pragma once

#include "TestProcess.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "FlashEmulator.h"
#include "Md5.h"
#include "ScsiTransport.h"
#include "byteorder.h"
#include "table_layout.h"

namespace scsitest {

using Sector = std::array<uint8_t, 512>;

struct ScsiLib {
    void *module = nullptr;
    InitDiskFn InitDisk = nullptr;
    DiskFreeFn DiskFree = nullptr;
    ReadDiskFn ReadDisk = nullptr;
    WriteDiskFn WriteDisk = nullptr;
    ReadScsiFn ReadScsi = nullptr;
    WriteScsiFn WriteScsi = nullptr;
    GetDiskVolumeFn GetDiskVolume = nullptr;
    DisMountDiskFn DisMountDisk = nullptr;
    GetOsVersionFn GetOsVersion = nullptr;

    ScsiLib() {
        const std::string path = testsupport::programDirectory() + "/SCSI.dll";
#ifdef _WIN32
        module = LoadLibraryA(path.c_str());
        if (!module) throw std::runtime_error("cannot load SCSI.dll: error " + std::to_string(GetLastError()));
#else
        module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) throw std::runtime_error(std::string("cannot load SCSI.dll: ") + dlerror());
#endif
        bind(InitDisk, "InitDisk");
        bind(DiskFree, "DiskFree");
        bind(ReadDisk, "ReadDisk");
        bind(WriteDisk, "WriteDisk");
        bind(ReadScsi, "ReadScsi");
        bind(WriteScsi, "WriteScsi");
        bind(GetDiskVolume, "GetDiskVolume");
        bind(DisMountDisk, "DisMountDisk");
        bind(GetOsVersion, "GetOsVersion");
    }
    template <typename F> void bind(F &fn, const char *name) {
#ifdef _WIN32
        fn = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name)));
#else
        fn = reinterpret_cast<F>(dlsym(module, name));
#endif
        if (!fn) throw std::runtime_error(std::string("SCSI.dll lacks ") + name);
    }
};

inline ScsiLib &scsi() {
    static ScsiLib lib;
    return lib;
}

// A fresh folder under the temporary folder, removed with its content.
struct TempDir {
    testsupport::ScratchDir scratch{"emu-test"};
    std::string path = scratch.str();
};

inline std::array<uint8_t, 12> cdb(uint8_t op, uint32_t lba, uint16_t blocks) {
    std::array<uint8_t, 12> c{};
    c[0] = op;
    bo::putBE32(c.data() + 2, lba);
    bo::putBE16(c.data() + 7, blocks);
    return c;
}

inline uint32_t xorWords(const uint8_t *p, size_t words) {
    uint32_t x = 0;
    for (size_t i = 0; i < words; ++i) x ^= bo::getLE32(p + 4 * i);
    return x;
}

inline void sealTable(uint8_t *t) {
    bo::putLE32(t + cfgtbl::kCheckWord, 0);
    bo::putLE32(t + cfgtbl::kCheckWord, xorWords(t, 128));
}

inline void sealInfo(std::vector<uint8_t> &info) {
    for (size_t h = 0; h + cfgtbl::kInfoHalf <= info.size(); h += cfgtbl::kInfoHalf) {
        bo::putLE32(info.data() + h + cfgtbl::kInfoMark, cfgtbl::kInfoMarkValue);
        bo::putLE32(info.data() + h + cfgtbl::kInfoCheck, xorWords(info.data() + h, 1023));
    }
}

inline std::array<uint8_t, 16> digestOf(const std::string &password) {
    return flashemu::md5(reinterpret_cast<const uint8_t *>(password.data()), password.size());
}

// A layout written into a copy of a VersionTable, as the format procedure fills it.
inline Sector withLayout(Sector t, uint8_t kind, uint32_t s0, uint32_t s1, uint32_t s2, uint32_t st1, uint32_t st2,
                         const std::array<uint8_t, 16> &digest = {}) {
    t[cfgtbl::kLayoutKind] = kind;
    bo::putLE32(t.data() + cfgtbl::kArea0Size, s0);
    bo::putLE32(t.data() + cfgtbl::kArea1Size, s1);
    bo::putLE32(t.data() + cfgtbl::kArea2Size, s2);
    bo::putLE32(t.data() + cfgtbl::kArea1Start, st1);
    bo::putLE32(t.data() + cfgtbl::kArea2Start, st2);
    std::memcpy(t.data() + cfgtbl::kDigest, digest.data(), 16);
    sealTable(t.data());
    return t;
}

// An open emulated device in a fresh directory, selected through the environment.
struct Device {
    TempDir dir;
    ScsiLib &lib = scsi();

    explicit Device(flashemu::DiskOptions options = small()) {
        std::string error;
        if (!flashemu::createDisk(dir.path, options, &error)) throw std::runtime_error("createDisk: " + error);
        testsupport::setEnv(flashemu::kDiskEnv, dir.path);
    }
    ~Device() {
        lib.DiskFree();
        testsupport::unsetEnv(flashemu::kDiskEnv);
    }
    static flashemu::DiskOptions small() {
        flashemu::DiskOptions o;
        o.sectors = 40000;
        return o;
    }
    int32_t open(const void *params = nullptr) { return lib.InitDisk(const_cast<void *>(params)); }

    bool read(uint32_t address, uint8_t *out) { return lib.ReadDisk(address, 1, out) != 0; }
    bool write(uint32_t address, const uint8_t *in) { return lib.WriteDisk(address, 1, in) != 0; }
    Sector readSector(uint32_t address) {
        Sector s{};
        if (!read(address, s.data())) throw std::runtime_error("read failed");
        return s;
    }
    bool prepare(uint32_t block, uint32_t count = 1) {
        Sector rec{};
        rec[1] = 1;
        bo::putLE32(rec.data() + 4, block);
        bo::putLE32(rec.data() + 8, count);
        return write(cfgtbl::addr::kBlockPrepare, rec.data());
    }
    Sector table() { return readSector(cfgtbl::addr::kReadPageBase + 8); }
    bool reset() {
        Sector scratch{};
        return write(cfgtbl::addr::kReset, scratch.data());
    }
    bool login(const std::array<uint8_t, 16> &digest) {
        Sector rec{};
        std::memcpy(rec.data() + 16, digest.data(), 16);
        return write(cfgtbl::addr::kLogin, rec.data());
    }
    // The information-block write of the host: prepare, table sector, information sectors.
    bool writeInfoBlock(uint32_t page, Sector table, std::vector<uint8_t> info, uint16_t pageSectors = 4) {
        if (!prepare(page)) return false;
        bo::putLE16(table.data() + cfgtbl::kBlockPage, uint16_t(page));
        sealTable(table.data());
        if (!write((page + 0x20000000u) | cfgtbl::addr::kInfoTableFlag, table.data())) return false;
        sealInfo(info);
        for (uint32_t i = 0; i < info.size() / 512; ++i)
            if (!write(cfgtbl::addr::infoPage(true, i % pageSectors, page + 1 + i / pageSectors),
                       info.data() + size_t(i) * 512))
                return false;
        return true;
    }
    std::string drives() {
        std::string s;
        FILE *f = std::fopen(flashemu::drivesPath(dir.path).c_str(), "rb");
        if (!f) return s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
        return s;
    }
    // The drive lines without the comment, each as "letter offset length flags".
    std::vector<std::string> driveLines() {
        std::vector<std::string> out;
        std::istringstream in(drives());
        std::string line, letter, source, offset, length, flags;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            if (line.empty() || line[0] == '#' || !(fields >> letter >> source >> offset >> length >> flags)) continue;
            out.push_back(letter + " " + offset + " " + length + " " + flags);
        }
        return out;
    }
    flashemu::DiskStatus status() {
        flashemu::DiskStatus st;
        flashemu::getStatus(dir.path, &st);
        return st;
    }
    void setFaults(const std::function<void(flashemu::Faults &)> &change) {
        flashemu::Faults f;
        flashemu::getFaults(dir.path, &f);
        change(f);
        flashemu::setFaults(dir.path, f);
    }
};

} // namespace scsitest
