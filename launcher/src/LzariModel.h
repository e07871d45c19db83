// The parameters and the two probability models of the LZARI stream that the
// launcher's payload is packed with. The packer and the decoder share these, so
// the two can only drift apart if this file changes.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace lzari {

constexpr int kRingSize = 4096;                          // N: the window; positions are modulo this
constexpr int kMaxMatch = 60;                            // F: longest match
constexpr int kThreshold = 2;                            // matches of 2 bytes or fewer go out as literals
constexpr int kCharCount = 256 - kThreshold + kMaxMatch; // 314: literals plus length codes
constexpr int kFirstLengthCode = 256;                    // character 256 stands for a match of 3 bytes
constexpr int kPrecisionBits = 15;                       // M
constexpr uint32_t kQ1 = uint32_t(1) << kPrecisionBits;
constexpr uint32_t kQ2 = 2 * kQ1;
constexpr uint32_t kQ3 = 3 * kQ1;
constexpr uint32_t kQ4 = 4 * kQ1;
constexpr uint32_t kMaxCum = kQ1 - 1;               // halve the character model at this total
constexpr int kInitialFill = kRingSize - kMaxMatch; // ring bytes preset to spaces; first write position
constexpr uint8_t kFillByte = 0x20;
constexpr int kValueBits = kPrecisionBits + 2; // bits the decoder reads before the first symbol

static_assert(kCharCount == 314);
static_assert(kMaxMatch - kThreshold + kFirstLengthCode - 1 == kCharCount - 1,
              "the longest match must map onto the last character");

// Adaptive model of the 314 characters. Symbols 1..314 are kept sorted by
// falling frequency so the most used characters sit at the front of the
// cumulative table; symbol 0 is a sentinel whose frequency stays 0.
struct CharModel {
    std::array<int, kCharCount> charToSym{};
    std::array<int, kCharCount + 1> symToChar{};
    std::array<uint32_t, kCharCount + 1> symFreq{};
    std::array<uint32_t, kCharCount + 1> symCum{}; // symCum[i] = sum of symFreq[i+1 .. 314]

    void start();
    void update(int sym);
    uint32_t total() const { return symCum[0]; }
};

// Fixed distribution of match positions: near positions are likelier. The
// total, positionCum[0], is 28,568.
struct PositionModel {
    std::array<uint32_t, kRingSize + 1> positionCum{};

    void start();
    uint32_t total() const { return positionCum[0]; }
};

// The character model as the decoder keeps it: the same frequencies, symbol
// order, halving and sentinel as CharModel, so it decodes the same symbols bit
// for bit, but with the cumulative counts in a Fenwick tree over the symbols.
// CharModel's update walks up to 314 cumulative counts for every character; here
// finding a symbol and counting it take nine steps each.
class CharTree {
public:
    // The symbol whose interval holds x, where x counts down from the total as
    // CharModel's symCum does, and the bounds of that interval: upper is
    // symCum[sym - 1] and lower is symCum[sym]. An x at or past the total (only
    // a damaged stream gives one) finds symbol 1, as a binary search over
    // symCum does.
    struct Found {
        int sym;
        uint32_t upper;
        uint32_t lower;
    };

    void start();
    Found find(uint32_t x) const {
        const uint32_t total = total_;
        // The first symbol whose prefix sum (from symbol 1) reaches total - x.
        const uint32_t target = x < total ? total - x : 1;
        uint32_t pos = 0;
        uint32_t below = 0; // prefix sum of the symbols before pos + 1
        for (uint32_t step = kTreeSize / 2; step > 0; step >>= 1) {
            const uint32_t sum = below + tree_[pos + step];
            const bool ahead = sum < target; // the padding past 314 is never ahead
            pos = ahead ? pos + step : pos;
            below = ahead ? sum : below;
        }
        const int sym = int(pos) + 1;
        return {sym, total - below, total - below - freq_[sym]};
    }
    void update(int sym) {
        if (total_ >= kMaxCum) halve();
        int i = sym;
        const uint32_t f = freq_[sym];
        if (freq_[sym - 1] == f) i = firstOfFrequency(f, sym);
        if (i < sym) std::swap(symToChar_[i], symToChar_[sym]);
        ++freq_[i];
        ++total_;
        for (uint32_t k = uint32_t(i); k <= uint32_t(kCharCount); k += k & (0u - k)) ++tree_[k];
    }
    int charOf(int sym) const { return symToChar_[sym]; }
    uint32_t total() const { return total_; }
    uint32_t frequency(int sym) const { return freq_[sym]; }
    // symCum[sym] of CharModel, for the checks that hold the two together.
    uint32_t cumulative(int sym) const;

private:
    static constexpr uint32_t kTreeSize = std::bit_ceil(uint32_t(kCharCount) + 1); // 512
    // Past the last symbol the tree holds a count no sum can stay below.
    static constexpr uint32_t kPadding = uint32_t(1) << 30;

    void halve();
    void rebuildTree();
    // The first symbol of the run of symbols with frequency f that ends at sym;
    // frequencies never rise from one symbol to the next, and the sentinel's 0
    // ends every run.
    int firstOfFrequency(uint32_t f, int sym) const {
        int lo = 1, hi = sym - 1;
        while (lo < hi) {
            int mid = (lo + hi) / 2;
            if (freq_[mid] > f)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }

    std::array<uint32_t, kCharCount + 1> freq_{}; // entry 0 is the sentinel, held at 0
    std::array<uint16_t, kCharCount + 1> symToChar_{};
    std::array<uint32_t, kTreeSize> tree_{}; // tree_[k]: sum of freq_ over (k - lowest bit of k, k]
    uint32_t total_ = 0;
};

// The fixed position model with an index by x / 16: the interval that holds x
// is at most eight steps from where the index points, where a binary search
// over the 4096 positions takes twelve.
class PositionIndex {
public:
    struct Found {
        int position;
        uint32_t upper; // positionCum[position]
        uint32_t lower; // positionCum[position + 1]
    };

    void start();
    uint32_t total() const { return cum_[0]; }
    // The position whose interval holds x; an x at or past the total (a damaged
    // stream) finds position 0, as the binary search does.
    Found find(uint32_t x) const {
        if (x >= cum_[0]) return {0, cum_[0], cum_[1]};
        uint32_t i = first_[x >> kBucketBits];
        while (cum_[i] > x) ++i;
        return {int(i) - 1, cum_[i - 1], cum_[i]};
    }

private:
    static constexpr int kBucketBits = 4;
    static constexpr uint32_t kTotal = 28568; // positionCum[0]
    static constexpr size_t kBuckets = (kTotal >> kBucketBits) + 1;

    std::array<uint16_t, kRingSize + 1> cum_{}; // positionCum; the total fits 16 bits
    // first_[b]: the smallest i with cum_[i] <= the largest x of bucket b, so
    // that the answer for any x of the bucket is at or after it.
    std::array<uint16_t, kBuckets> first_{};
};

} // namespace lzari
