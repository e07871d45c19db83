// The LZARI decoder of the launcher's payload.
#include "LzariDecoder.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

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

bool LzariDecoder::fillInput() {
    if (inEnded_) return false;
    inLen_ = in_->read(inBuf_.data(), inBuf_.size());
    inPos_ = 0;
    if (inLen_ == 0) inEnded_ = true; // never ask a finished input again
    return inLen_ > 0;
}

void LzariDecoder::refillBits() {
    if (inLen_ - inPos_ >= 8) {
        bits_ = bo::getBE64(inBuf_.data() + inPos_);
        inPos_ += 8;
        bytesLoaded_ += 8;
        bitsLeft_ = 64;
        return;
    }
    if (inPos_ == inLen_ && !fillInput()) {
        // Past the end the buffer holds all ones: streams that end early keep
        // decoding (to meaningless bytes) rather than failing.
        pastEnd_ = true;
        bits_ = ~uint64_t(0);
        onesLoaded_ += 64;
        bitsLeft_ = 64;
        return;
    }
    if (inLen_ - inPos_ >= 8) return refillBits();
    // The last few bytes of a read, one at a time.
    bits_ = uint64_t(inBuf_[inPos_++]) << 56;
    ++bytesLoaded_;
    bitsLeft_ = 8;
}

uint32_t LzariDecoder::takeBits(unsigned n) {
    // n is at most 33, so the result may lose its top bit; the caller keeps 32.
    if (n == 0) return 0;
    uint64_t taken = 0;
    while (bitsLeft_ < n) {
        if (const unsigned k = bitsLeft_; k > 0) {
            taken = (taken << k) | (bits_ >> (64 - k));
            n -= k;
        }
        refillBits(); // eight bits at least
    }
    taken = (taken << n) | (bits_ >> (64 - n));
    bits_ = n < 64 ? bits_ << n : 0;
    bitsLeft_ -= n;
    return uint32_t(taken);
}

void LzariDecoder::renormalise() {
    // The published loop doubles the interval one input bit at a time: while
    // low and high - 1 agree in their top bit it drops that bit (subtracting Q2
    // or nothing), and while low is 01... and high - 1 is 10... it drops the
    // second bit (subtracting Q1); low takes a 0 at the bottom, high - 1 a 1,
    // and value a bit of the input. Checked in its order, the loop drops first
    // every bit that low and high - 1 share from the top, then every following
    // bit where low has 1 and high - 1 has 0, and stops. Both counts come from
    // the bits at once here, and the input bits are taken together.
    //
    // high - low stays above Q1 after this, and every symbol's share of a total
    // below Q1 is then at least 1, so the interval never collapses, whatever
    // bits the stream holds.
    constexpr uint32_t kMask = kQ4 - 1; // the 17 bits of the coder
    uint32_t lo = low_;
    uint32_t hi = high_ - 1;
    const unsigned shared = unsigned(std::countl_zero(lo ^ hi)) - (32 - 17); // 17 when equal
    lo = (lo << shared) & kMask;
    hi = ((hi << shared) & kMask) | ((uint32_t(1) << shared) - 1);
    const unsigned straddling = unsigned(std::countl_one((lo & ~hi) << (32 - 16)));
    lo = (lo & kQ2) | ((lo << straddling) & (kQ2 - 1));
    hi = (hi & kQ2) | ((hi << straddling) & (kQ2 - 1)) | ((uint32_t(1) << straddling) - 1);
    const unsigned n = shared + straddling;
    offset_ = uint32_t((uint64_t(offset_) << n) | takeBits(n));
    low_ = lo;
    high_ = hi + 1;
}

// Narrows the interval to the share the model gives the symbol that the code
// value lies in, and returns that symbol with its share.
template <class Model> typename Model::Found LzariDecoder::narrow(const Model &model) {
    const uint32_t range = high_ - low_;
    const uint32_t total = model.total();
    // Unsigned throughout: on a corrupt stream value may lie outside the
    // interval and the product wraps, which only picks some symbol.
    const uint32_t x = ((offset_ + 1) * total - 1) / range;
    const typename Model::Found found = model.find(x);
    const uint32_t rise = range * found.lower / total;
    high_ = low_ + range * found.upper / total;
    low_ += rise;
    offset_ -= rise;
    renormalise();
    return found;
}

int LzariDecoder::decodeChar() {
    const CharTree::Found found = narrow(chars_);
    const int ch = chars_.charOf(found.sym);
    chars_.update(found.sym);
    return ch;
}

int LzariDecoder::decodePosition() { return narrow(positions_).position; }

// Hands the decoded bytes after the history on to the output, and keeps the
// last 4096 as the history of what follows.
bool LzariDecoder::handOn(size_t &end) {
    if (end > kRingSize && !outFailed_) outFailed_ = !out_->write(window_.data() + kRingSize, end - kRingSize);
    std::memmove(window_.data(), window_.data() + end - kRingSize, kRingSize);
    end = kRingSize;
    return !outFailed_;
}

DecodeResult LzariDecoder::decode(ByteInput &in, ByteOutput &out) {
    // Every decode starts from the constructed state, so a reused decoder
    // cannot carry one stream's model into the next.
    in_ = &in;
    out_ = &out;
    low_ = 0;
    high_ = kQ4;
    offset_ = 0;
    bits_ = 0;
    bitsLeft_ = 0;
    pastEnd_ = false;
    bytesLoaded_ = onesLoaded_ = 0;
    inPos_ = inLen_ = 0;
    inEnded_ = outFailed_ = false;
    consumed_ = bitsPastEnd_ = 0;

    uint8_t sizeField[4];
    for (uint8_t &b : sizeField) {
        if (inPos_ == inLen_ && !fillInput()) {
            consumed_ = bytesLoaded_;
            return DecodeResult::ReadError;
        }
        b = inBuf_[inPos_++];
        ++bytesLoaded_;
    }
    const uint32_t size = bo::getLE32(sizeField);
    if (size == 0) {
        consumed_ = bytesLoaded_;
        return DecodeResult::Done;
    }

    offset_ = takeBits(kValueBits); // value, while low is 0
    chars_.start();
    positions_.start();

    // The ring as a straight window: the bytes before the first one decoded are
    // the ring's initial contents in ring order from the first write position,
    // the 60 zeros past the spaces (as in the packer's ring) and then the 4036
    // spaces, so that a match reaches back into them as it would in the ring.
    uint8_t *const window = window_.data();
    std::memset(window, 0, kRingSize - kInitialFill);
    std::memset(window + (kRingSize - kInitialFill), kFillByte, kInitialFill);
    size_t end = kRingSize;

    uint32_t count = 0;
    while (count < size) {
        const int c = decodeChar();
        if (c < kFirstLengthCode) {
            window[end++] = uint8_t(c);
            ++count;
        } else {
            const size_t distance = size_t(decodePosition()) + 1;
            // A match may run past the size only in a damaged stream (the packer
            // never codes one); cut it there so the output never outgrows the
            // size field.
            const uint32_t length = std::min(uint32_t(c - kFirstLengthCode + kThreshold + 1), size - count);
            uint8_t *dst = window + end;
            const uint8_t *src = dst - distance;
            if (distance >= 8) {
                // Eight bytes a step: each step reads only bytes that are at
                // least eight back, already final, even where source and copy
                // overlap. The last step may write a few bytes past the match;
                // the next symbol overwrites them.
                for (uint32_t k = 0; k < length; k += 8) std::memcpy(dst + k, src + k, 8);
            } else {
                for (uint32_t k = 0; k < length; ++k) dst[k] = src[k];
            }
            end += length;
            count += length;
        }
        if (end >= kRingSize + kOutputChunk && !handOn(end)) break;
    }
    const bool written = handOn(end);

    if (pastEnd_) {
        consumed_ = bytesLoaded_;
        bitsPastEnd_ = onesLoaded_ - bitsLeft_;
    } else {
        consumed_ = bytesLoaded_ - bitsLeft_ / 8; // whole bytes not yet reached
    }
    return written ? DecodeResult::Done : DecodeResult::WriteError;
}

} // namespace lzari
