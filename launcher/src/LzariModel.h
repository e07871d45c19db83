// The parameters and the two probability models of the LZARI stream that the
// launcher's payload is packed with. The packer and the decoder share these, so
// the two can only drift apart if this file changes.
#pragma once

#include <array>
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

} // namespace lzari
