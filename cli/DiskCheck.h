// The disk check: reads (and, destructively, first writes) every sector of the
// whole disk in commands of up to kCheckBlock sectors, times every command,
// and tells from what comes back the disk's real capacity and its bad sectors.
// It knows the disk only as sector reads and writes, so the same check runs on
// the emulated disk, a real one through the pass-through, or a test's stand-in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The most sectors one READ(10)/WRITE(10) of the library carries.
constexpr uint32_t kCheckBlock = 128;
// A run of sectors at the disk's end that keep no data of their own is taken
// for missing flash rather than for bad sectors once it is this long (1 MiB):
// a counterfeit that drops what is written past its flash looks like that.
constexpr uint32_t kMissingFlashSectors = 2048;

class CheckedDisk {
public:
    virtual ~CheckedDisk() = default;
    // count is 1 to kCheckBlock; false when the device failed the command.
    virtual bool read(uint32_t first, uint32_t count, uint8_t *out) = 0;
    virtual bool write(uint32_t first, uint32_t count, const uint8_t *in) = 0;
    // Whether the device still answers at all, asked after a failure, so that
    // a disk that is gone is not taken for one that is all bad sectors.
    virtual bool answers() = 0;
};

// The check's pattern: every sector names its own address and the run, and the
// rest is pseudo-random from both, so neither an old run's data nor another
// sector's can pass for its own.
namespace pattern {
constexpr size_t kAddress = 0; // LE32: the sector's address
constexpr size_t kRunLow = 4;  // LE32 x 2: the run's seed
constexpr size_t kRunHigh = 8;
constexpr size_t kNoise = 12; // pseudo-random to the end of the sector
static_assert(kRunLow == kAddress + 4 && kRunHigh == kRunLow + 4 && kNoise == kRunHigh + 4, "packed header");
static_assert(kNoise < 512, "noise inside the sector");

void fill(uint64_t seed, uint32_t address, uint8_t *sector512);
// What a sector read back at address holds: its own pattern, another sector's
// (*other set), or neither.
enum class Holds { Own, Other, Neither };
Holds classify(uint64_t seed, uint32_t address, uint32_t sectors, const uint8_t *sector512, uint32_t *other);
} // namespace pattern

enum class Flaw { Unreadable, Unwritable, Lost };
const char *flawName(Flaw flaw);

struct FlawRange {
    uint32_t first = 0;
    uint32_t count = 0;
    Flaw flaw = Flaw::Unreadable;
};

// One command as timed.
struct TimedCommand {
    uint32_t first = 0;
    uint32_t count = 0;
    double seconds = 0;
};

struct PassResult {
    bool ran = false;
    std::vector<TimedCommand> commands;
    uint64_t sectors = 0; // sectors the pass moved
    double seconds = 0;
    double megabytesPerSecond() const;
};

struct CheckResult {
    uint32_t sectors = 0; // the capacity the disk reports
    bool destructive = false;
    bool finished = false; // false: the disk stopped answering at stoppedAt, or the check was cut off there
    bool cutOff = false;
    uint32_t stoppedAt = 0;
    std::optional<uint32_t> realSectors; // a counterfeit's flash, found by writing
    std::vector<FlawRange> bad;          // below the real capacity, in address order
    uint64_t badCount() const;
    PassResult write, read;
};

// done/total count sectors of the whole check (both passes when destructive).
// false stops the check where it is (the user pressed Ctrl-C).
using CheckProgress = std::function<bool(const char *phase, uint64_t done, uint64_t total)>;

CheckResult runCheck(CheckedDisk &disk, uint32_t sectors, bool destructive, uint64_t seed,
                     const CheckProgress &progress);

// The real capacity and the bad sectors from what the read pass found: the
// lowest address that shares its flash with another (the higher of each pair
// of addresses where one read back the other's data; none: above any address),
// or, when the check wrote, the start of a run of at least
// kMissingFlashSectors flawed sectors at the disk's end. flaws in address
// order, not overlapping; the bad sectors are those below the real capacity.
struct Verdict {
    std::optional<uint32_t> realSectors;
    std::vector<FlawRange> bad;
};
Verdict judge(uint32_t sectors, uint64_t lowestShared, const std::vector<FlawRange> &flaws, bool wrote);

} // namespace cli
