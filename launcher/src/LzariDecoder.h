// LzariDecoder: turns one stored payload stream (4-byte little-endian unpacked
// size, then the LZARI bit stream) back into the unpacked bytes. It is built to
// survive any input: every table index is bounded by construction, the output
// never grows past the size field, and nothing is allocated while decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "LzariModel.h"

namespace lzari {

class ByteInput {
public:
    virtual ~ByteInput() = default;
    // Up to cap bytes into buf; 0 means the input has ended (or failed).
    virtual size_t read(uint8_t *buf, size_t cap) = 0;
};

class ByteOutput {
public:
    virtual ~ByteOutput() = default;
    virtual bool write(const uint8_t *data, size_t len) = 0;
};

enum class DecodeResult {
    Done,
    CannotOpen, // input or output could not be opened: nothing decoded
    ReadError,  // fewer than 4 bytes: no size field; the output is left empty
    WriteError, // the output refused bytes: what it holds is incomplete
};

// The texts a caller shows for a result ("Read Error" is the one users know).
const char *describe(DecodeResult result);

class LzariDecoder {
public:
    LzariDecoder();

    // Creates (or empties) outPath as a regular file with the given mode, never
    // through a symbolic link, and decodes inPath into it.
    DecodeResult decodeFile(const std::string &inPath, const std::string &outPath, unsigned mode = 0644);

    // One decoder decodes one stream; use a fresh one for the next.
    DecodeResult decode(ByteInput &in, ByteOutput &out);

    // Bytes the last decode pulled from its input, and how many bits it wanted
    // after the input had ended (those read as ones).
    uint64_t bytesConsumed() const { return consumed_; }
    uint64_t bitsPastEnd() const { return bitsPastEnd_; }

private:
    static constexpr size_t kBufferSize = 8192;

    int nextByte();
    uint32_t nextBit();
    void renormalise();
    int decodeChar();
    int decodePosition();
    void put(uint8_t b);
    bool flush();

    ByteInput *in_ = nullptr;
    ByteOutput *out_ = nullptr;

    uint32_t low_ = 0;
    uint32_t high_ = kQ4;
    uint32_t value_ = 0;
    uint32_t bitBuffer_ = 0;
    uint32_t bitMask_ = 0; // 0: the first bit read loads a byte
    bool pastEnd_ = false;

    CharModel chars_;
    PositionModel positions_;
    std::array<uint8_t, kRingSize> ring_{};

    std::array<uint8_t, kBufferSize> inBuf_{};
    size_t inPos_ = 0;
    size_t inLen_ = 0;
    bool inEnded_ = false;
    std::array<uint8_t, kBufferSize> outBuf_{};
    size_t outLen_ = 0;
    bool outFailed_ = false;

    uint64_t consumed_ = 0;
    uint64_t bitsPastEnd_ = 0;
};

} // namespace lzari
