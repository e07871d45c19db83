// The exports that are thin wrappers around single device commands: device
// information, reset, removal, login status, the write-protect switch, and plain
// sector reads and writes by READ(10)/WRITE(10) command blocks.
#include <array>
#include <cstring>

#include "Internal.h"
#include "LibraryState.h"
#include "Quendal.h"
#include "byteorder.h"
#include "table_layout.h"

using quendal::state;

namespace {

constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
// The write-protect switch answers three blocks that mean nothing to us.
constexpr uint16_t kWriteProtectBlocks = 3;
// The block count field is 16 bits wide.
constexpr uint32_t kMaxBlocksPerCommand = 0xFFFF;

// Both sector exports fail before sending anything when the request cannot be
// put into one command block: a count beyond its 16-bit field (which would
// otherwise be cut to its low bits while the byte length stayed whole) or no
// buffer to move the data through.
bool sectorRequestFits(uint32_t count, const void *buffer) {
    return buffer != nullptr && count <= kMaxBlocksPerCommand;
}

} // namespace

namespace quendal {

std::array<uint8_t, 12> makeRw10(uint8_t opcode, uint32_t lba, uint16_t blocks) {
    std::array<uint8_t, 12> cdb{};
    cdb[0] = opcode;
    bo::putBE32(&cdb[2], lba);
    bo::putBE16(&cdb[7], blocks);
    return cdb;
}

bool readDeviceInfo(uint8_t *out512) {
    auto &s = state();
    if (!s.TransportReady || !out512) return false;
    if (!s.ops.ReadDisk(cfgtbl::addr::kDeviceInfo, 1, out512)) {
        setError(QUENDAL_ERR_DEVICE_INFO);
        s.DeviceInfoValid = false;
        return false;
    }
    std::memcpy(s.DeviceInfo.data(), out512, kSectorSize);
    s.DeviceInfoValid = true;
    return true;
}

} // namespace quendal

extern "C" {

QUENDAL_API uint8_t GetFlashDiskInfo(uint8_t *buffer512) {
    if (!state().TransportReady || !buffer512) return 0;
    return quendal::readDeviceInfo(buffer512) ? 1 : 0;
}

QUENDAL_API uint8_t ResetDisk(void) {
    auto &s = state();
    if (!s.TransportReady) return 0;
    std::array<uint8_t, quendal::kSectorSize> scratch{}; // the device ignores the content
    return s.ops.WriteDisk(cfgtbl::addr::kReset, 1, scratch.data()) ? 1 : 0;
}

QUENDAL_API int32_t DiskRemove(void) {
    auto &s = state();
    if (s.ops.DiskFree) s.ops.DiskFree();
    s.HaveTable = false;
    s.DeviceInfoValid = false;
    s.PrimaryInfoBlock = -1;
    s.BackupInfoBlock = -1;
    s.DiskCapacity = 0;
    quendal::forgetScannedCopies();
    return 1;
}

QUENDAL_API int32_t LoginState(void) {
    auto &s = state();
    if (!s.TransportReady) return 0;
    std::array<uint8_t, quendal::kSectorSize> info{};
    bool infoRead = quendal::readDeviceInfo(info.data());
    // The layout kind is read off the table only once a VersionTable was loaded;
    // before that nothing says the disk has a secure area.
    if (!s.VersionTableSeen || !cfgtbl::isSecureLayout(s.TableCopy[cfgtbl::kLayoutKind])) return -1;
    // A secure disk whose status cannot be read is not taken for logged in.
    if (!infoRead) return 0;
    return info[cfgtbl::kDevLoginStatus];
}

QUENDAL_API uint8_t ReverseWriteStatusIfProtect(void) {
    auto &s = state();
    if (!s.TransportReady) return 0;
    // Looked at only; this read changes nothing in the state.
    std::array<uint8_t, quendal::kSectorSize> info{};
    if (!s.ops.ReadDisk(cfgtbl::addr::kDeviceInfo, 1, info.data())) return 0;
    if (info[cfgtbl::kDevWriteProtect] == 0) return 0;
    auto cdb = quendal::makeRw10(kRead10, cfgtbl::addr::kWriteProtect, kWriteProtectBlocks);
    std::array<uint8_t, kWriteProtectBlocks * quendal::kSectorSize> scratch{};
    int32_t result = s.ops.ReadScsi(cdb.data(), scratch.data(), uint32_t(scratch.size()));
    return (result & 0xFFFF) ? 1 : 0;
}

QUENDAL_API int32_t ReadFlashDisk(uint32_t first, uint32_t count, void *buffer) {
    auto &s = state();
    if (!s.TransportReady || !sectorRequestFits(count, buffer)) return 0;
    auto cdb = quendal::makeRw10(kRead10, first, uint16_t(count));
    return s.ops.ReadScsi(cdb.data(), buffer, count * quendal::kSectorSize) & 0xFFFF;
}

QUENDAL_API int32_t WriteFlashDisk(uint32_t first, uint32_t count, const void *data) {
    auto &s = state();
    if (!s.TransportReady || !sectorRequestFits(count, data)) return 0;
    auto cdb = quendal::makeRw10(kWrite10, first, uint16_t(count));
    return s.ops.WriteScsi(cdb.data(), data, count * quendal::kSectorSize) & 0xFFFF;
}

} // extern "C"
