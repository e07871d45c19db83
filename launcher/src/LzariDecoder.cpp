// The LZARI decoder of the launcher's payload.
#include "LzariDecoder.h"

#include <unistd.h>

#include <cerrno>

#include "PrivateFile.h"
#include "byteorder.h"

namespace lzari {

const char *describe(DecodeResult result) {
    switch (result) {
    case DecodeResult::Done: return "Done";
    case DecodeResult::CannotOpen: return "Cannot open";
    case DecodeResult::ReadError: return "Read Error";
    case DecodeResult::WriteError: return "Write Error";
    }
    return "Unknown";
}

namespace {

class FdInput final : public ByteInput {
public:
    explicit FdInput(int fd) : fd_(fd) {}
    size_t read(uint8_t *buf, size_t cap) override {
        for (;;) {
            ssize_t n = ::read(fd_, buf, cap);
            if (n >= 0) return size_t(n);
            if (errno != EINTR) return 0;
        }
    }

private:
    int fd_;
};

class FdOutput final : public ByteOutput {
public:
    explicit FdOutput(int fd) : fd_(fd) {}
    bool write(const uint8_t *data, size_t len) override {
        while (len > 0) {
            ssize_t n = ::write(fd_, data, len);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            data += n;
            len -= size_t(n);
        }
        return true;
    }

private:
    int fd_;
};

} // namespace

LzariDecoder::LzariDecoder() = default;

DecodeResult LzariDecoder::decodeFile(const std::string &inPath, const std::string &outPath, unsigned mode) {
    UniqueFd in(openRegularForReading(inPath));
    if (!in) return DecodeResult::CannotOpen;
    UniqueFd out(createRegularFile(outPath, mode));
    if (!out) return DecodeResult::CannotOpen;
    FdInput input(in.get());
    FdOutput output(out.get());
    DecodeResult result = decode(input, output);
    if (!out.close() && result == DecodeResult::Done) result = DecodeResult::WriteError;
    return result;
}

int LzariDecoder::nextByte() {
    if (inPos_ == inLen_) {
        if (inEnded_) return -1;
        inLen_ = in_->read(inBuf_.data(), inBuf_.size());
        inPos_ = 0;
        if (inLen_ == 0) {
            inEnded_ = true; // never ask a finished input again
            return -1;
        }
    }
    ++consumed_;
    return inBuf_[inPos_++];
}

uint32_t LzariDecoder::nextBit() {
    if ((bitMask_ >>= 1) == 0) {
        int b = nextByte();
        // Past the end the buffer holds all ones: streams that end early keep
        // decoding (to meaningless bytes) rather than failing.
        pastEnd_ = b < 0;
        bitBuffer_ = pastEnd_ ? 0xFFFFFFFFu : uint32_t(b);
        bitMask_ = 0x80;
    }
    if (pastEnd_) ++bitsPastEnd_;
    return (bitBuffer_ & bitMask_) != 0 ? 1 : 0;
}

void LzariDecoder::renormalise() {
    // high - low stays above Q1 after this loop, and every symbol's share of a
    // total below Q1 is then at least 1, so the interval never collapses and the
    // loop always ends, whatever bits the stream holds.
    for (;;) {
        if (low_ >= kQ2) {
            value_ -= kQ2;
            low_ -= kQ2;
            high_ -= kQ2;
        } else if (low_ >= kQ1 && high_ <= kQ3) {
            value_ -= kQ1;
            low_ -= kQ1;
            high_ -= kQ1;
        } else if (high_ > kQ2) {
            break;
        }
        low_ += low_;
        high_ += high_;
        value_ = 2 * value_ + nextBit();
    }
}

int LzariDecoder::decodeChar() {
    uint32_t range = high_ - low_;
    uint32_t total = chars_.total();
    // Unsigned throughout: on a corrupt stream value may lie outside the
    // interval and the product wraps, which only picks some symbol.
    uint32_t x = ((value_ - low_ + 1) * total - 1) / range;
    int i = 1;
    int j = kCharCount;
    while (i < j) {
        int k = (i + j) / 2;
        if (chars_.symCum[k] > x)
            i = k + 1;
        else
            j = k;
    }
    int sym = i;
    high_ = low_ + range * chars_.symCum[sym - 1] / total;
    low_ = low_ + range * chars_.symCum[sym] / total;
    renormalise();
    int ch = chars_.symToChar[sym];
    chars_.update(sym);
    return ch;
}

int LzariDecoder::decodePosition() {
    uint32_t range = high_ - low_;
    uint32_t total = positions_.total();
    uint32_t x = ((value_ - low_ + 1) * total - 1) / range;
    int i = 1;
    int j = kRingSize;
    while (i < j) {
        int k = (i + j) / 2;
        if (positions_.positionCum[k] > x)
            i = k + 1;
        else
            j = k;
    }
    int p = i - 1;
    high_ = low_ + range * positions_.positionCum[p] / total;
    low_ = low_ + range * positions_.positionCum[p + 1] / total;
    renormalise();
    return p;
}

void LzariDecoder::put(uint8_t b) {
    outBuf_[outLen_++] = b;
    if (outLen_ == outBuf_.size()) flush();
}

bool LzariDecoder::flush() {
    if (outLen_ > 0 && !outFailed_) outFailed_ = !out_->write(outBuf_.data(), outLen_);
    outLen_ = 0;
    return !outFailed_;
}

DecodeResult LzariDecoder::decode(ByteInput &in, ByteOutput &out) {
    // Every decode starts from the constructed state, so a reused decoder
    // cannot carry one stream's model into the next.
    in_ = &in;
    out_ = &out;
    low_ = 0;
    high_ = kQ4;
    value_ = 0;
    bitBuffer_ = 0;
    bitMask_ = 0;
    pastEnd_ = false;
    inPos_ = inLen_ = outLen_ = 0;
    inEnded_ = outFailed_ = false;
    consumed_ = bitsPastEnd_ = 0;

    uint8_t sizeField[4];
    for (uint8_t &b : sizeField) {
        int c = nextByte();
        if (c < 0) return DecodeResult::ReadError;
        b = uint8_t(c);
    }
    const uint32_t size = bo::getLE32(sizeField);
    if (size == 0) return DecodeResult::Done;

    for (int i = 0; i < kValueBits; ++i) value_ = 2 * value_ + nextBit();
    chars_.start();
    positions_.start();
    ring_.fill(0); // the 60 bytes past the spaces start as zeros, as in the packer's ring
    for (int i = 0; i < kInitialFill; ++i) ring_[i] = kFillByte;
    int r = kInitialFill;

    uint32_t count = 0;
    while (count < size) {
        int c = decodeChar();
        if (c < kFirstLengthCode) {
            put(uint8_t(c));
            ring_[r] = uint8_t(c);
            r = (r + 1) & (kRingSize - 1);
            ++count;
        } else {
            int source = (r - decodePosition() - 1) & (kRingSize - 1);
            int length = c - kFirstLengthCode + kThreshold + 1;
            // A match may run past the size only in a damaged stream (the packer
            // never codes one); cut it there so the output never outgrows the
            // size field.
            for (int k = 0; k < length && count < size; ++k) {
                uint8_t b = ring_[(source + k) & (kRingSize - 1)];
                put(b);
                ring_[r] = b;
                r = (r + 1) & (kRingSize - 1);
                ++count;
            }
        }
        if (outFailed_) return DecodeResult::WriteError;
    }
    return flush() ? DecodeResult::Done : DecodeResult::WriteError;
}

} // namespace lzari
