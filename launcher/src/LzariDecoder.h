// LzariDecoder: turns one stored payload stream (4-byte little-endian unpacked
// size, then the LZARI bit stream) back into the unpacked bytes. It is built to
// survive any input: every table index is bounded by construction, the output
// never grows past the size field, and nothing is allocated while decoding. It
// decodes the very symbols the published algorithm decodes, with the model kept
// in a form that is quick to search (LzariModel.h) and the input taken eight
// bytes at a time.
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
    static constexpr size_t kInputSize = 8192;
    static constexpr size_t kOutputChunk = 32768;
    // The window: the last 4096 bytes, which matches copy from, then up to an
    // output chunk not yet handed on, then room for the last 8-byte step of a
    // match copy.
    static constexpr size_t kWindowSize = kRingSize + kOutputChunk + kMaxMatch + 8;

    bool fillInput();
    void refillBits();
    uint32_t takeBits(unsigned n);
    void renormalise();
    template <class Model> typename Model::Found narrow(const Model &model);
    int decodeChar();
    int decodePosition();
    bool handOn(size_t &end);

    ByteInput *in_ = nullptr;
    ByteOutput *out_ = nullptr;

    uint32_t low_ = 0;
    uint32_t high_ = kQ4;
    // value - low, modulo 2^32: all the decoding needs of the code value read so
    // far, and what every doubling of the interval doubles.
    uint32_t offset_ = 0;
    // Input bits not yet used, the next one in the top bit. Eight bytes are
    // taken at a time; past the end of the input they are all ones.
    uint64_t bits_ = 0;
    unsigned bitsLeft_ = 0;
    bool pastEnd_ = false;
    uint64_t bytesLoaded_ = 0;
    uint64_t onesLoaded_ = 0; // bits made up past the end

    CharTree chars_;
    PositionIndex positions_;

    std::array<uint8_t, kInputSize> inBuf_{};
    size_t inPos_ = 0;
    size_t inLen_ = 0;
    bool inEnded_ = false;
    std::array<uint8_t, kWindowSize> window_{};
    bool outFailed_ = false;

    uint64_t consumed_ = 0;
    uint64_t bitsPastEnd_ = 0;
};

} // namespace lzari
