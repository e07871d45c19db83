// The disk directory is the device: everything the controller keeps (identity,
// geometry, faults, login and mount state, the table in force) lives in
// device.conf, the sectors in the sparse data.img, the information area in
// info.img. Every command loads the state afresh and saves what it changed, so a
// second process (a test rig, a replugged host) always sees the device as it is.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FlashEmulator.h"

namespace fileio {
class ExclusiveLock;
}

namespace flashemu {

constexpr uint32_t kSector = 512;
// The information area: pages of up to four addressable sectors. The address
// carries only the sector-in-page AND 3, so the controller keeps four slots per page.
constexpr uint32_t kInfoPages = 8192;
constexpr uint32_t kInfoSlots = 4;

struct DiskState {
    // Identity and geometry, fixed at creation.
    uint32_t sectors = 0;
    uint16_t pageSectorsRaw = 8;
    bool pageFlagBit0 = false;
    uint16_t blockUnit = 4;
    std::string vendor, product, revision;
    // Faults; faults.writeProtected is the live write-protect state.
    Faults faults;
    uint32_t writesOfKind = 0; // writes of faults.failKind seen since the faults were set
    uint32_t readsOfKind = 0;
    // What the controller holds until the next reset or replug.
    bool loggedIn = false;
    bool loginPending = false; // a login file was written; it counts at the host's next other command
    bool wholeDisk = false;
    bool dismounted = false;
    bool haveTable = false;
    std::array<uint8_t, 512> table{};
    uint32_t commits = 0;
    bool logging = false;
};

// A file of the disk directory; the one separator both systems accept.
std::string joinPath(const std::string &dir, const std::string &name);
std::string confPath(const std::string &dir);
std::string infoImagePath(const std::string &dir);
std::string logPath(const std::string &dir);
std::string commitPath(const std::string &dir);

bool loadState(const std::string &dir, DiskState *state);
bool saveState(const std::string &dir, const DiskState &state);

// Sector access to the two images; both answer false on any I/O failure.
bool readSectors(const std::string &dir, uint64_t first, uint32_t count, uint8_t *out);
bool writeSectors(const std::string &dir, uint64_t first, uint32_t count, const uint8_t *in);
// Information sectors as the flash holds them: an erased sector reads 0xFF.
bool readInfo(const std::string &dir, uint32_t page, uint32_t slot, uint8_t *out512);
bool writeInfo(const std::string &dir, uint32_t page, uint32_t slot, const uint8_t *in512);
bool eraseInfoPages(const std::string &dir, uint32_t firstPage, uint32_t pages);

// Writes the file whole under a temporary name and renames it into place, so a
// reader in another process never sees half of it.
bool writeFileAtomic(const std::string &path, const std::string &content);
bool readWholeFile(const std::string &path, std::string *content);
// The line without the CR that a CR LF line end leaves on it.
std::string withoutLineEnd(std::string line);

void appendLog(const std::string &dir, const LogEntry &entry);
bool parseLogLine(const std::string &line, LogEntry *entry);

// Holds the disk for one command: a host and a test rig in two processes take
// turns, so no load-modify-save of one is lost under the other.
class DiskLock {
public:
    // Only a disk directory (one with device.conf, or one being made a disk) gets
    // a lock file; any other directory is left as it is.
    explicit DiskLock(const std::string &dir, bool makingDisk = false);
    ~DiskLock();
    DiskLock(const DiskLock &) = delete;
    DiskLock &operator=(const DiskLock &) = delete;

private:
    std::unique_ptr<fileio::ExclusiveLock> lock_;
};

// Holds the disk for one program from InitDisk to DiskFree, as an exclusive
// open holds a real disk: a second program that opens it finds it busy, and
// learns who holds it from writerOf (FlashEmulator.h).
class WriterLock {
public:
    // Tries once; held() tells whether this program has the disk now.
    explicit WriterLock(const std::string &dir);
    ~WriterLock();
    WriterLock(const WriterLock &) = delete;
    WriterLock &operator=(const WriterLock &) = delete;
    bool held() const;

private:
    std::unique_ptr<fileio::ExclusiveLock> lock_;
};

} // namespace flashemu

namespace flashemu {

// The device information block as the controller answers it for this state.
std::array<uint8_t, 512> buildDeviceInfo(const DiskState &state);

} // namespace flashemu
