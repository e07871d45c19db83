// The device side of SCSI.dll: the nine exports hand every call to one back end,
// chosen when InitDisk opens the device. The emulated flash disk is one back end;
// an OS pass-through to a real disk is another.
#pragma once

#include <cstdint>
#include <memory>

namespace scsi {

class Backend {
public:
    virtual ~Backend() = default;

    // Opens (or reopens, as after a replug) the device that matches the 40-byte
    // parameter block (null: any). Answers the InitDisk values: 0, 2 or -1.
    virtual int32_t open(const void *params) = 0;
    virtual int32_t close() = 0;
    virtual int32_t readDisk(uint32_t address, uint32_t count, void *buffer) = 0;
    virtual int32_t writeDisk(uint32_t address, uint32_t count, const void *data) = 0;
    virtual int32_t readScsi(const uint8_t *cdb12, void *buffer, uint32_t length) = 0;
    virtual int32_t writeScsi(const uint8_t *cdb12, const void *data, uint32_t length) = 0;
    virtual int32_t getDiskVolume(uint32_t value) = 0;
    virtual int32_t disMountDisk() = 0;
};

// The OS pass-through to a real disk, defined by its own library when built.
std::unique_ptr<Backend> makePassthroughBackend();

#if defined(_WIN32)
// The platform identifier Windows reports (VER_PLATFORM_WIN32_WINDOWS 1,
// VER_PLATFORM_WIN32_NT 2), from the Windows pass-through's system side.
int32_t systemGeneration();
#endif

} // namespace scsi
