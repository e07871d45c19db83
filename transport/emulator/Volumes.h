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

// Where the login file lies: the disk sectors of its directory entry and of its
// one data sector.
struct LoginFilePlace {
    uint64_t entrySector = 0;
    uint64_t dataSector = 0;
};

// Looks for the login file in the root directory of the login volume; true and
// the file's 512 bytes (and where it lies, when asked) when found.
bool findLoginFile(const std::string &dir, const Volume &area, uint8_t *out512, LoginFilePlace *place = nullptr);

// The controller takes a login from a file: LOG.LOG (A5 A5 A5 A5, the digest at
// 16) in the root of the login volume. It looks when the host, while logged
// out, writes disk sectors [first, first + count) that hold the file's directory
// entry or its data, so it sees the file with the write that completes it,
// whichever of the two the host's file system writes last. A file left from an
// earlier login does nothing until it is written again. True when the file
// with the right digest was completed just now: the login is then pending.
bool noticeLoginFile(const std::string &dir, DiskState *state, uint64_t first, uint64_t count);

// A pending login takes effect at the host's next command that does not go on
// writing into the login volume: the rest of the file system's writes (the FAT,
// the old file's clusters) still reach the volume they were meant for, and the
// host learns of the new medium from the command after them. True when the
// view changed.
bool takePendingLogin(DiskState *state);

} // namespace flashemu
