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
    // Page where the missing second copy of a one-copy disk belongs, -1 none: a
    // copy the scan found cut off mid-write (its table sector sealed and naming
    // its page, its information marks missing), or the page the user's saved
    // tables name for it. WriteInfoBlocks writes it first.
    int32_t MissingInfoBlock = -1;
    // What the scan read of the copies it kept ([0] the primary, [1] the
    // backup), so that a rewrite can tell whether another program changed them.
    std::array<std::array<uint8_t, 16>, 2> ScannedCopyDigest{};
    std::array<bool, 2> ScannedCopyKnown{};
    // Set only through the recovery library (quendal's --force): a rewrite goes
    // on when one copy is left and where the other lived is unknown.
    bool RewriteLastCopy = false;
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

// What the table scan learnt about one disk's copies beyond the specified
// fields; forgotten with them (InitVariable, DiskRemove), so that nothing about
// one disk outlives its removal.
inline void forgetScannedCopies() {
    LibraryState &st = state();
    st.MissingInfoBlock = -1;
    st.ScannedCopyKnown = {false, false};
}

// Records a library error code; codes are never cleared.
inline void setError(int32_t code) { state().LastError = code; }

} // namespace quendal
