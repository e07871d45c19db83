// Finding the flash disk among the machine's SCSI disks: the disks as sysfs
// lists them, their identification, and the rules by which the host's
// parameter block or the list of known controllers chooses one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SystemOps.h"

namespace passthrough {

// INQUIRY identification, trailing blanks removed.
struct Identity {
    std::string vendor;   // 8 characters on the wire
    std::string product;  // 16
    std::string revision; // 4
};

struct ScsiDisk {
    std::string hctl;        // "6:0:0:0"
    Identity identity;       // as the kernel read it at attach time
    std::string blockName;   // "sdb", or empty
    std::string genericName; // "sg2", or empty
    std::string dev;         // "8:16", major:minor of the whole disk
    bool removable = false;
    bool usb = false;

    // The node commands go to: the generic node when there is one.
    std::string node() const;
};

// The texts of the 40-byte parameter block: vendor at 0 (12 bytes), product at
// 12 (20), version at 32 (8), each up to its NUL or the end of its field.
struct Wanted {
    std::string vendor, product, revision;
    bool empty() const { return vendor.empty() && product.empty() && revision.empty(); }
};
Wanted parseParams(const void *params40);

// A known controller identity; an empty field matches anything.
struct KnownController {
    std::string vendor, product, revision;
};

// One identity a line, fields separated by tabs: vendor, product, revision
// (optional). Blank lines and lines starting with '#' are skipped.
std::vector<KnownController> parseKnownControllers(const std::string &text);

std::string trimTrailingBlanks(std::string s);
// INQUIRY data (36 bytes or more) to identification.
Identity identityFromInquiry(const uint8_t *data, uint32_t length);

bool matchesWanted(const Identity &id, const Wanted &wanted);
bool isKnown(const Identity &id, const std::vector<KnownController> &known);

// The SCSI disks (peripheral type 0) under sysRoot/bus/scsi/devices, in
// host:channel:target:lun order.
std::vector<ScsiDisk> enumerateDisks(SystemOps &os, const std::string &sysRoot);

// The candidates for a parameter block, in order: disks whose identification
// matches its non-empty texts; for an all-empty block, removable USB disks of a
// known controller.
std::vector<ScsiDisk> candidates(const std::vector<ScsiDisk> &disks, const Wanted &wanted,
                                 const std::vector<KnownController> &known);

} // namespace passthrough
