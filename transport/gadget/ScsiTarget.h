// The SCSI side of the USB flash disk: command blocks for the emulated disk's two
// logical units, answered from the one device model. LUN 0 shows the first
// volume the controller presents, LUN 1 the second (area 2); the vendor
// commands (READ(10)/WRITE(10) at addresses from 0x10000000 up) reach the
// controller from either LUN exactly as SCSI.dll's emulator back end hands them
// to it. No USB here: the Bulk-Only Transport (BulkOnly.h) carries the blocks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "EmulatorBackend.h"

namespace gadget {

constexpr uint8_t kLuns = 2;

struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
    bool infoValid = false;
    uint32_t info = 0; // the failing block of a medium error
};

enum class DataDir { None, In, Out };

// What the device means to move for a command, from its command block alone
// (Bulk-Only Transport's Dn, Di, Do): the allocation or transfer length.
struct Intent {
    DataDir dir = DataDir::None;
    uint32_t length = 0;
};

class ScsiTarget {
public:
    // serial: the unit serial number shown in INQUIRY page 0x80 (the USB one).
    ScsiTarget(flashemu::EmulatedDisk &disk, std::string serial);

    // A power-on or reset of the device: every LUN reports 06/29/00 once, and
    // what the host sees now becomes what it has seen.
    void powerOnReset();

    Intent intent(uint8_t lun, const uint8_t *cdb, size_t cdbLength);

    // Runs one command. dataOut holds what the host sent for an Out intent.
    // True for GOOD status; false for CHECK CONDITION, with sense(lun) set.
    bool execute(uint8_t lun, const uint8_t *cdb, size_t cdbLength, const std::vector<uint8_t> &dataOut,
                 std::vector<uint8_t> *dataIn);

    const Sense &sense(uint8_t lun) const { return sense_[lun < kLuns ? lun : 0]; }

    // True once when a reset left a LUN showing another peripheral type (disk
    // or CD-ROM) than the host enumerated: only a new enumeration shows it.
    bool takeReenumerationNeed();

private:
    bool run(uint8_t lun, const uint8_t *cdb, size_t cdbLength, const std::vector<uint8_t> &dataOut,
             std::vector<uint8_t> *dataIn);
    bool fail(uint8_t lun, uint8_t key, uint8_t asc, uint8_t ascq = 0);
    bool inquiry(uint8_t lun, const uint8_t *cdb, std::vector<uint8_t> *out);
    bool modeSense(uint8_t lun, const uint8_t *cdb, bool ten, std::vector<uint8_t> *out);
    bool readCapacity(uint8_t lun, bool sixteen, std::vector<uint8_t> *out);
    bool readBlocks(uint8_t lun, uint32_t lba, uint32_t blocks, std::vector<uint8_t> *out);
    bool writeBlocks(uint8_t lun, uint32_t lba, uint32_t blocks, const std::vector<uint8_t> &in);
    template <typename Move>
    bool inPieces(uint8_t lun, uint32_t lba, uint32_t blocks, bool write, uint32_t *moved, Move &&move);
    bool vendor(uint8_t lun, const uint8_t *cdb, const std::vector<uint8_t> &dataOut, std::vector<uint8_t> *dataIn);
    bool readToc(uint8_t lun, const uint8_t *cdb, std::vector<uint8_t> *out);
    bool getConfiguration(uint8_t lun, std::vector<uint8_t> *out);
    bool eventStatus(uint8_t lun, const uint8_t *cdb, std::vector<uint8_t> *out);
    uint8_t peripheralType(const flashemu::UnitView &v) const { return v.present && v.cdrom ? 5 : 0; }

    flashemu::EmulatedDisk &disk_;
    std::string serial_;
    std::array<flashemu::UnitView, kLuns> view_{}; // read for the command at hand
    std::array<flashemu::UnitView, kLuns> seen_{}; // what the host was last told
    std::array<bool, kLuns> resetPending_{};       // 06/29/00 still to report
    std::array<uint8_t, kLuns> enumeratedType_{};  // peripheral type at enumeration
    std::array<Sense, kLuns> sense_{};
    bool reenumerate_ = false;
};

} // namespace gadget
