// The emulated flash disk as a back end of SCSI.dll, and as the device behind a
// USB host's logical units (the gadget, and the platform layer's writes into an
// unmounted volume, which stand in for a host's block layer).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "Backend.h"

namespace flashemu {

// What one logical unit shows the host now: unit 0 is the first volume the
// controller presents (what plain sector addresses reach), unit 1 the second
// (area 2). Sectors of 512 bytes.
struct UnitView {
    bool present = false;
    uint64_t start = 0;    // the unit's first sector on the disk
    uint64_t length = 0;   // sectors
    bool readOnly = false; // a read-only volume, or the device write-protected
    bool cdrom = false;
    bool operator==(const UnitView &) const = default;
};

enum class UnitResult { Ok, NoMedium, OutOfRange, WriteProtected, Failed };

// The most sectors one unit command moves, as one vendor command's data at most.
constexpr uint32_t kMaxUnitSectors = 128;

struct Identity {
    std::string vendor, product, revision; // INQUIRY fields, blank padded to 8/16/4
};

// The controller with its vendor commands (the scsi::Backend operations) and the
// host's sector reads and writes of the two units. Data writes, by either way,
// are where the controller notices a login file (see noticeLoginFile).
class EmulatedDisk : public scsi::Backend {
public:
    // The host sent a command that the device model has no part in (TEST UNIT
    // READY, INQUIRY, ...): like any but a data write into the first volume, it
    // lets a login noticed from a file take effect.
    virtual void hostCommand() = 0;
    // The host prevents (true) or allows the removal of the first unit's medium,
    // as a removable disk is told while a volume of it is mounted. While removal
    // is prevented, a login noticed from a file waits: the secure area must not
    // take the login volume's place under a mounted file system.
    virtual void lockMedium(bool locked) = 0;
    virtual bool identity(Identity *out) = 0;
    virtual std::array<UnitView, 2> units() = 0;
    // count at most kMaxUnitSectors; first counts from the unit's start.
    virtual UnitResult readUnit(unsigned unit, uint64_t first, uint32_t count, uint8_t *out) = 0;
    virtual UnitResult writeUnit(unsigned unit, uint64_t first, uint32_t count, const uint8_t *in) = 0;
};

// The device itself (the gadget, the platform writes): it holds the disk for no host.
std::unique_ptr<EmulatedDisk> makeEmulatedDisk(const std::string &dir);
// SCSI.dll's back end: holds the disk for its host program from InitDisk to DiskFree.
std::unique_ptr<scsi::Backend> makeEmulatorBackend(const std::string &dir);

} // namespace flashemu
