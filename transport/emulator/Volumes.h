// What the host sees of the disk: the volumes the controller presents for the
// table in force and the login state, and the drive map published from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DiskFiles.h"

namespace flashemu {

// A range of the disk in sectors, as the controller presents it.
struct Volume {
    uint64_t start = 0;
    uint64_t length = 0;
    bool readOnly = false;
    bool cdrom = false;
};

struct View {
    std::optional<Volume> first;  // also what plain sector addresses reach
    std::optional<Volume> second; // area 2
};

View currentView(const DiskState &state);
// The area of a secure layout where the login file is looked for, if any.
std::optional<Volume> loginArea(const DiskState &state);

// Rewrites <dir>/drives when what it should say has changed.
bool publishDrives(const std::string &dir, const DiskState &state);

// Looks for the login file in the root directory of the login volume; true and
// the file's 512 bytes when found.
bool findLoginFile(const std::string &dir, const Volume &area, uint8_t *out512);

} // namespace flashemu

namespace flashemu {

// In refuse-raw-access mode the host logs in by writing LOG.LOG (A5 A5 A5 A5,
// digest at 16) into the root of the login volume; true when that logged the
// device in just now.
bool loginByFile(const std::string &dir, DiskState *state);

} // namespace flashemu
