// The build-time packer of the launcher's payload: LZSS over a 4096-byte ring
// with binary search trees for the longest match, literals, match lengths and
// positions coded arithmetically with the models the decoder uses. The launcher
// itself carries no encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "LzariModel.h"

namespace lzari {

// The arithmetic coder on its own, one symbol at a time. pack() drives it; tests
// use it to write streams of chosen literals and matches.
class StreamWriter {
public:
    // The size field written first; it need not match what the symbols unpack to.
    explicit StreamWriter(uint32_t declaredSize);

    void literal(uint8_t byte);
    // position: the coded distance 0..4095 (0 copies from the byte just written);
    // length: 3..60.
    void match(int position, int length);

    // Ends the code and pads it so that the decoder finds every bit it reads
    // inside the stream and the stream holds no byte the decoder does not read.
    std::vector<uint8_t> finish();

private:
    void encodeChar(int ch);
    void encodeInterval(uint32_t upperCum, uint32_t lowerCum, uint32_t total);
    void putBit(int bit);
    void output(int bit);

    std::vector<uint8_t> out_;
    uint32_t low_ = 0;
    uint32_t high_ = kQ4;
    uint32_t pending_ = 0;   // opposite bits owed after the next decided bit
    uint64_t doublings_ = 0; // the decoder reads one bit for each
    uint64_t bitsWritten_ = 0;
    uint8_t bitBuffer_ = 0;
    uint8_t bitMask_ = 0x80;
    CharModel chars_;
    PositionModel positions_;
};

// The stored stream for data: 4-byte little-endian size, then the code.
// data must be shorter than 4 GiB.
std::vector<uint8_t> pack(std::span<const uint8_t> data);

} // namespace lzari
