// The library's one process-wide state record. Every export works on it; it is
// zero at load and is reset only by the exports that the device's life cycle
// names (LoadDiskLib, FreeDiskLib, InitVariable, DiskRemove).
#pragma once

#include <array>
#include <cstdint>

#include "Quendal.h"
#include "ScsiTransport.h"

namespace quendal {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kInfoBufferSectors = 200;

enum ControllerKind : int32_t { kControllerNone = 0, kMakerTable = 1, kVersionTable = 2 };

struct TransportOps {
    InitDiskFn InitDisk = nullptr;
    DiskFreeFn DiskFree = nullptr;
    ReadDiskFn ReadDisk = nullptr;
    WriteDiskFn WriteDisk = nullptr;
    WriteScsiFn WriteScsi = nullptr;
    ReadScsiFn ReadScsi = nullptr;
    GetDiskVolumeFn GetDiskVolume = nullptr;
    DisMountDiskFn DisMountDisk = nullptr;
    GetOsVersionFn GetOsVersion = nullptr;
};

struct LibraryState {
    void *TransportModule = nullptr;
    TransportOps ops;
    bool TransportReady = false;
    bool FileLoginMode = false;
    int32_t LastError = 0;

    std::array<uint8_t, kSectorSize> DeviceInfo{};
    bool DeviceInfoValid = false;
    uint16_t PageSectors = 0;
    uint16_t BlockUnit = 0;

    int32_t ControllerKind = kControllerNone;
    bool HaveTable = false;
    int32_t PrimaryInfoBlock = 0; // -1 none once InitVariable ran
    int32_t BackupInfoBlock = 0;
    // Page of a copy that the scan found interrupted mid-write (its own table sector
    // sealed and naming its page, its information marks missing), -1 none. Used only
    // to restore the second copy when just one valid copy is left.
    int32_t DamagedInfoBlock = -1;
    // A rewrite of the block at LostBlockPage failed after its erase while the copy
    // at LostBlockPartner stayed sound (-1 none). Lets a later scan in this process
    // that finds only that partner, and the lost page erased, name it for restoring.
    int32_t LostBlockPage = -1;
    int32_t LostBlockPartner = -1;
    std::array<uint8_t, kSectorSize> TableCopy{};
    std::array<uint8_t, kInfoBufferSectors * kSectorSize> InfoBuffer{};
    bool VersionTableSeen = false;
    uint16_t InfoSectors = 0;
    std::array<uint8_t, 16> StoredDigest{};
    bool InterleavedInfo = false;
    int32_t Interleave = 0;
    std::array<uint8_t, 11> TableLabel{};
    int32_t DiskCapacity = 0;

    FormatProgressCallback Progress = nullptr;
};

// The single instance.
LibraryState &state();

// Records a library error code; codes are never cleared.
inline void setError(int32_t code) { state().LastError = code; }

} // namespace quendal
