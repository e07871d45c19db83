// The flash-disk emulator's outside face: creating a factory-fresh disk,
// setting faults, and reading what a test rig could see of the device (its
// command log, its data and information areas). The device model itself runs
// inside SCSI.dll when FLASHDISK_EMULATOR names a disk directory.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace flashemu {

// Environment variable that selects the emulator and names its disk directory.
constexpr const char kDiskEnv[] = "FLASHDISK_EMULATOR";
// The data image's file name inside the disk directory; the drive map names it
// relative to the map's own folder, so the directory can move between systems.
constexpr const char kDataImageName[] = "data.img";
// Environment variable naming another drive map than <disk directory>/drives.
constexpr const char kDrivesEnv[] = "FLASHDISK_DRIVES";

enum class TableKind { Version, Maker, None };

struct DiskOptions {
    uint32_t sectors = 2'000'000; // capacity in 512-byte sectors
    TableKind table = TableKind::Version;
    uint16_t pageSectorsRaw = 8;        // device information offset 10
    bool pageFlagBit0 = false;          // device information offset 1, bit 0 (clear: raw value halved)
    uint16_t blockUnit = 4;             // pages per block (device information offset 4)
    uint8_t infoSectors = 8;            // information sectors after the table: 8 or 16
    int32_t primaryPage = 8;            // page of the primary copy
    int32_t backupPage = 40;            // page of the backup copy, -1 for none
    bool interleaved = false;           // table byte 272 bit 4
    bool interleave2 = false;           // table byte 232 bit 5
    uint8_t variantFlag = 0;            // table byte 25
    std::string label = "FLASH DISK";   // table bytes 111..121, blank padded
    std::string vendor = "MORVAN";      // INQUIRY vendor (8)
    std::string product = "FLASH DISK"; // INQUIRY product (16)
    std::string revision = "2.00";      // INQUIRY revision (4)
};

struct Faults {
    bool refuseRawAccess = false; // InitDisk answers 2 (file-login hosts)
    bool absent = false;          // no device: InitDisk answers -1
    bool writeProtected = false;  // information byte 294 set; data writes fail. This is the
                                  // live state: the switch command toggles it, getFaults reads it
    bool strictPrepare = true;    // programming an information page not erased since its
                                  // block was prepared fails (catches a missing prepare)
    // Fail the failNth (1-based) write of one kind; failKind "" for none. Kinds:
    // "data" (sectors below 0x10000000, by WriteDisk or WRITE(10)), "info" (information
    // sectors), "info-table" (table sector of an information block), "prepare",
    // "whole-disk", "store-table", "login", "reset", "commit", "any" (every write).
    std::string failKind;
    uint32_t failNth = 0;
    // Fail the failNth read of kind "device-info", "table" (candidate pages), "info",
    // "data" or "any"; failReadKind "" for none.
    std::string failReadKind;
    uint32_t failReadNth = 0;
};

// One command as the transport received it.
struct LogEntry {
    std::string op;       // InitDisk, DiskFree, ReadDisk, WriteDisk, ReadScsi,
                          // WriteScsi, GetDiskVolume, DisMountDisk; ReadUnit0/1 and
                          // WriteUnit0/1 for a host's sector reads and writes of a
                          // logical unit (address: first sector within the unit)
    uint32_t address = 0; // ReadDisk/WriteDisk address, or the CDB's block address
    uint32_t count = 0;   // sector count (ReadDisk/WriteDisk) or CDB transfer length
    uint32_t length = 0;  // byte length of ReadScsi/WriteScsi
    bool hasCdb = false;
    std::array<uint8_t, 12> cdb{};
    int32_t result = 0;
    std::vector<uint8_t> data; // bytes written to a vendor address (>= 0x10000000);
                               // for InitDisk, its 40-byte parameter block when given
};

// Creates (or replaces) a factory-fresh disk in dir. The directory is created.
bool createDisk(const std::string &dir, const DiskOptions &options, std::string *error = nullptr);
bool isDisk(const std::string &dir);

bool setFaults(const std::string &dir, const Faults &faults);
bool getFaults(const std::string &dir, Faults *faults);

// Command log of the disk (off after creation).
bool setLogging(const std::string &dir, bool on);
std::vector<LogEntry> readLog(const std::string &dir);
void clearLog(const std::string &dir);

// What a test rig can read off the device without the host's commands.
std::string dataImagePath(const std::string &dir); // sparse image of all sectors
std::string drivesPath(const std::string &dir);    // the published drive map
bool readPhysicalSectors(const std::string &dir, uint64_t first, uint32_t count, uint8_t *out);
// One sector of the information area (slot = sector-in-page AND 3 as addressed).
bool readInfoSector(const std::string &dir, uint32_t page, uint32_t slot, uint8_t *out512);
bool writeInfoSector(const std::string &dir, uint32_t page, uint32_t slot, const uint8_t *in512);
// The device information block as the device would answer it now.
bool readDeviceInfo(const std::string &dir, std::array<uint8_t, 512> *out);
bool loggedIn(const std::string &dir);
// Unplugs and plugs the disk in again: the controller starts afresh (logged out,
// the stored layout in force) and the drive map is published anew. Opening the
// device from a host does not do this.
bool replug(const std::string &dir);
// Who holds the disk open now (a host between InitDisk and DiskFree), as
// "quendal (pid 4242)"; empty when no program does.
std::string writerOf(const std::string &dir);

// The disk folder whose data image image names, or empty.
std::string diskOfImage(const std::string &image);
// The host's block layer writing disk sectors [first, first + count) of a volume
// the disk presents (the drive map gives its place): they reach the device as
// the host's writes of the logical unit showing them, at most kMaxUnitSectors a
// command, so the controller sees them as it sees any host's (a login file among
// them logs it in). False when no presented, writable volume holds them all or
// the device refused one.
bool writeHostSectors(const std::string &dir, uint64_t first, uint32_t count, const uint8_t *in);
// The host's block layer flushing what it wrote (a file written through and
// closed): a command other than a write, so a login the device noticed from a
// login file among the writes takes effect.
void flushHostWrites(const std::string &dir);

// The controller's live state, as a test rig reads it off the device.
struct DiskStatus {
    uint32_t sectors = 0;
    bool loggedIn = false;
    bool wholeDisk = false; // the whole-disk table is in force until a reset
    bool dismounted = false;
    bool writeProtected = false;
    bool haveTable = false; // table in force (stored or found at the last reset)
    std::array<uint8_t, 512> table{};
    uint32_t commits = 0;            // commit commands received
    std::vector<uint8_t> lastCommit; // data of the last commit
};
bool getStatus(const std::string &dir, DiskStatus *status);

} // namespace flashemu
