#include "DiskCheck.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "byteorder.h"

namespace cli {

namespace pattern {

namespace {

constexpr size_t kSector = 512;

// splitmix64: fast, and every seed gives a stream of its own.
uint64_t nextNoise(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

void fill(uint64_t seed, uint32_t address, uint8_t *s) {
    bo::putLE32(s + kAddress, address);
    bo::putLE32(s + kRunLow, uint32_t(seed));
    bo::putLE32(s + kRunHigh, uint32_t(seed >> 32));
    uint64_t state = seed ^ (uint64_t(address) * 0xD1B54A32D192ED03ull), word = 0;
    for (size_t at = kNoise; at < kSector; at += 4) {
        const bool high = ((at - kNoise) & 4) != 0;
        if (!high) word = nextNoise(state);
        bo::putLE32(s + at, uint32_t(high ? word >> 32 : word));
    }
}

Holds classify(uint64_t seed, uint32_t address, uint32_t sectors, const uint8_t *s, uint32_t *other) {
    const uint32_t named = bo::getLE32(s + kAddress);
    const uint64_t run = bo::getLE32(s + kRunLow) | uint64_t(bo::getLE32(s + kRunHigh)) << 32;
    if (run != seed || named >= sectors) return Holds::Neither;
    uint8_t expected[kSector];
    fill(seed, named, expected);
    if (std::memcmp(expected, s, kSector) != 0) return Holds::Neither;
    if (named == address) return Holds::Own;
    *other = named;
    return Holds::Other;
}

} // namespace pattern

const char *flawName(Flaw flaw) {
    switch (flaw) {
    case Flaw::Unreadable: return "unreadable";
    case Flaw::Unwritable: return "write failed";
    case Flaw::Lost: return "data lost";
    }
    return "?";
}

double PassResult::megabytesPerSecond() const { return seconds > 0 ? double(sectors) * 512 / 1e6 / seconds : 0; }

uint64_t CheckResult::badCount() const {
    uint64_t n = 0;
    for (const FlawRange &f : bad) n += f.count;
    return n;
}

Verdict judge(uint32_t sectors, uint64_t lowestShared, const std::vector<FlawRange> &flaws, bool wrote) {
    uint64_t real = std::min<uint64_t>(lowestShared, sectors);
    // Only writing tells missing flash from a stretch of bad sectors.
    if (wrote) {
        uint64_t tail = sectors;
        for (auto f = flaws.rbegin(); f != flaws.rend() && uint64_t(f->first) + f->count == tail; ++f) tail = f->first;
        if (sectors - tail >= kMissingFlashSectors) real = std::min(real, tail);
    }
    Verdict v;
    if (real < sectors) v.realSectors = uint32_t(real);
    for (const FlawRange &f : flaws) {
        if (f.first >= real) break;
        FlawRange inside = f;
        inside.count = uint32_t(std::min<uint64_t>(f.count, real - f.first));
        v.bad.push_back(inside);
    }
    return v;
}

namespace {

constexpr size_t kSector = 512;
constexpr uint64_t kNoneShared = std::numeric_limits<uint64_t>::max();

void addFlaw(std::vector<FlawRange> *flaws, uint32_t address, Flaw flaw) {
    if (!flaws->empty()) {
        FlawRange &last = flaws->back();
        if (last.flaw == flaw && uint64_t(last.first) + last.count == address) {
            ++last.count;
            return;
        }
    }
    flaws->push_back({address, 1, flaw});
}

class Checker {
public:
    Checker(CheckedDisk &disk, uint32_t sectors, bool destructive, uint64_t seed, const CheckProgress &progress)
        : disk_(disk), seed_(seed), progress_(progress), buffer_(size_t(kCheckBlock) * kSector) {
        result_.sectors = sectors;
        result_.destructive = destructive;
        total_ = uint64_t(sectors) * (destructive ? 2 : 1);
    }

    CheckResult run() {
        if (result_.destructive && !writePass()) return result_;
        if (!readPass()) return result_;
        std::vector<FlawRange> flaws;
        std::merge(writeFlaws_.begin(), writeFlaws_.end(), readFlaws_.begin(), readFlaws_.end(),
                   std::back_inserter(flaws), [](const FlawRange &a, const FlawRange &b) { return a.first < b.first; });
        Verdict v = judge(result_.sectors, lowestShared_, flaws, result_.destructive);
        result_.realSectors = v.realSectors;
        result_.bad = std::move(v.bad);
        result_.finished = true;
        return result_;
    }

private:
    // Runs one command and keeps its time; a failed one moved nothing.
    template <typename F> bool timed(PassResult &pass, uint32_t first, uint32_t count, F &&command) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = command();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        pass.commands.push_back({first, ok ? count : 0, seconds});
        pass.seconds += seconds;
        if (ok) pass.sectors += count;
        return ok;
    }

    // After a block failed, its sectors one by one: which of them fail, and
    // whether the device answers at all when every one does.
    template <typename F> bool sectorBySector(uint32_t first, uint32_t count, F &&one) {
        uint32_t failed = 0;
        for (uint32_t i = 0; i < count; ++i)
            if (!one(first + i, buffer_.data() + size_t(i) * kSector)) ++failed;
        if (failed < count || disk_.answers()) return true;
        result_.stoppedAt = first;
        return false;
    }

    // False when the check is to stop before the sector after these.
    bool advance(const char *phase, uint32_t first, uint32_t count) {
        done_ += count;
        if (!progress_ || progress_(phase, done_, total_)) return true;
        result_.cutOff = true;
        result_.stoppedAt = first + count;
        return false;
    }

    bool writePass() {
        PassResult &pass = result_.write;
        pass.ran = true;
        for (uint32_t first = 0, n = 0; first < result_.sectors; first += n) {
            n = std::min(kCheckBlock, result_.sectors - first);
            for (uint32_t i = 0; i < n; ++i) pattern::fill(seed_, first + i, buffer_.data() + size_t(i) * kSector);
            if (!timed(pass, first, n, [&] { return disk_.write(first, n, buffer_.data()); })) {
                auto one = [&](uint32_t a, const uint8_t *sector) {
                    if (timed(pass, a, 1, [&] { return disk_.write(a, 1, sector); })) return true;
                    addFlaw(&writeFlaws_, a, Flaw::Unwritable);
                    return false;
                };
                if (!sectorBySector(first, n, one)) return false;
            }
            if (!advance("Writing", first, n)) return false;
        }
        return true;
    }

    bool unwritable(uint32_t address) {
        while (nextUnwritable_ < writeFlaws_.size() &&
               uint64_t(writeFlaws_[nextUnwritable_].first) + writeFlaws_[nextUnwritable_].count <= address)
            ++nextUnwritable_;
        return nextUnwritable_ < writeFlaws_.size() && writeFlaws_[nextUnwritable_].first <= address;
    }

    // A sector read back in the destructive check: its own data, another
    // address's (the two share flash), or neither (its data is lost).
    void examine(uint32_t address, const uint8_t *sector) {
        if (!result_.destructive || unwritable(address)) return;
        uint32_t other = 0;
        switch (pattern::classify(seed_, address, result_.sectors, sector, &other)) {
        case pattern::Holds::Own: break;
        case pattern::Holds::Other: lowestShared_ = std::min<uint64_t>(lowestShared_, std::max(address, other)); break;
        case pattern::Holds::Neither: addFlaw(&readFlaws_, address, Flaw::Lost); break;
        }
    }

    bool readPass() {
        PassResult &pass = result_.read;
        pass.ran = true;
        for (uint32_t first = 0, n = 0; first < result_.sectors; first += n) {
            n = std::min(kCheckBlock, result_.sectors - first);
            if (timed(pass, first, n, [&] { return disk_.read(first, n, buffer_.data()); })) {
                for (uint32_t i = 0; i < n; ++i) examine(first + i, buffer_.data() + size_t(i) * kSector);
            } else {
                auto one = [&](uint32_t a, uint8_t *sector) {
                    if (timed(pass, a, 1, [&] { return disk_.read(a, 1, sector); })) {
                        examine(a, sector);
                        return true;
                    }
                    if (!result_.destructive || !unwritable(a)) addFlaw(&readFlaws_, a, Flaw::Unreadable);
                    return false;
                };
                if (!sectorBySector(first, n, one)) return false;
            }
            if (!advance("Reading", first, n)) return false;
        }
        return true;
    }

    CheckedDisk &disk_;
    uint64_t seed_;
    const CheckProgress &progress_;
    std::vector<uint8_t> buffer_;
    CheckResult result_;
    uint64_t done_ = 0, total_ = 0;
    std::vector<FlawRange> writeFlaws_, readFlaws_;
    size_t nextUnwritable_ = 0;
    uint64_t lowestShared_ = kNoneShared;
};

} // namespace

CheckResult runCheck(CheckedDisk &disk, uint32_t sectors, bool destructive, uint64_t seed,
                     const CheckProgress &progress) {
    return Checker(disk, sectors, destructive, seed, progress).run();
}

} // namespace cli
