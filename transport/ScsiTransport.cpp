// The exports of SCSI.dll. Each call is handed to the back end chosen by the last
// InitDisk; the library calls one at a time, but the watcher and a format run may
// still meet here, so a lock keeps the device model whole.
#include "ScsiTransport.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "Backend.h"
#include "EmulatorBackend.h"
#include "FlashEmulator.h"

#ifdef QUENDAL_TEST_DEVICE
// A test build of the transport puts a device of its own behind the exports.
namespace scsi {
std::unique_ptr<Backend> makeTestDeviceBackend();
}
#endif

namespace {

std::mutex gLock;
std::unique_ptr<scsi::Backend> gBackend;

std::unique_ptr<scsi::Backend> chooseBackend() {
#ifdef QUENDAL_TEST_DEVICE
    return scsi::makeTestDeviceBackend();
#endif
    const char *dir = std::getenv(flashemu::kDiskEnv);
    if (dir && *dir) return flashemu::makeEmulatorBackend(dir);
#if defined(QUENDAL_HAVE_PASSTHROUGH)
    return scsi::makePassthroughBackend();
#else
    // Real disks need the pass-through, which is not part of this build.
    return nullptr;
#endif
}

} // namespace

extern "C" {

int32_t InitDisk(void *params) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        gBackend = chooseBackend();
        if (!gBackend) return SCSI_INIT_NO_DEVICE;
        return gBackend->open(params);
    } catch (...) {
        gBackend.reset();
        return SCSI_INIT_NO_DEVICE;
    }
}

int32_t DiskFree(void) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        int32_t r = gBackend ? gBackend->close() : 1;
        gBackend.reset();
        return r;
    } catch (...) {
        gBackend.reset();
        return 0;
    }
}

int32_t ReadDisk(uint32_t address, uint32_t count, void *buffer) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        return gBackend ? gBackend->readDisk(address, count, buffer) : 0;
    } catch (...) {
        return 0;
    }
}

int32_t WriteDisk(uint32_t address, uint32_t count, const void *data) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        return gBackend ? gBackend->writeDisk(address, count, data) : 0;
    } catch (...) {
        return 0;
    }
}

int32_t ReadScsi(const uint8_t *cdb12, void *buffer, uint32_t length) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        return gBackend ? gBackend->readScsi(cdb12, buffer, length) : 0;
    } catch (...) {
        return 0;
    }
}

int32_t WriteScsi(const uint8_t *cdb12, const void *data, uint32_t length) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        return gBackend ? gBackend->writeScsi(cdb12, data, length) : 0;
    } catch (...) {
        return 0;
    }
}

int32_t GetDiskVolume(uint32_t value) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        return gBackend ? gBackend->getDiskVolume(value) : 0;
    } catch (...) {
        return 0;
    }
}

int32_t DisMountDisk(void) {
    std::lock_guard<std::mutex> hold(gLock);
    try {
        return gBackend ? gBackend->disMountDisk() : 0;
    } catch (...) {
        return 0;
    }
}

// Callers compare against the generation value: 1 for the 95/98/Me family, 2 for
// NT. On Windows it is what the system reports; elsewhere the system this
// transport stands in for is of the NT family.
int32_t GetOsVersion(void) {
#if defined(_WIN32)
    return scsi::systemGeneration();
#else
    return 2;
#endif
}

// The emulated disk's state lives in its folder and every command takes the
// folder's lock, so these need no back end and no lock of their own.
int32_t FlashDiskHostWrite(const char *image, uint64_t firstSector, uint32_t count, const void *data) {
    try {
        std::string disk = image ? flashemu::diskOfImage(image) : std::string();
        if (disk.empty()) return -1;
        if (count == 0) return 1;
        return data && flashemu::writeHostSectors(disk, firstSector, count, static_cast<const uint8_t *>(data)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int32_t FlashDiskHostFlush(const char *image) {
    try {
        std::string disk = image ? flashemu::diskOfImage(image) : std::string();
        if (disk.empty()) return -1;
        flashemu::flushHostWrites(disk);
        return 1;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
