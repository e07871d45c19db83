// The LZARI packer: the match finder and the arithmetic coder.
#include "LzariEncoder.h"

#include <array>
#include <memory>

#include "byteorder.h"

namespace lzari {

StreamWriter::StreamWriter(uint32_t declaredSize) {
    out_.resize(4);
    bo::putLE32(out_.data(), declaredSize);
    chars_.start();
    positions_.start();
}

void StreamWriter::putBit(int bit) {
    if (bit) bitBuffer_ |= bitMask_;
    ++bitsWritten_;
    if ((bitMask_ >>= 1) == 0) {
        out_.push_back(bitBuffer_);
        bitBuffer_ = 0;
        bitMask_ = 0x80;
    }
}

void StreamWriter::output(int bit) {
    putBit(bit);
    for (; pending_ > 0; --pending_) putBit(!bit);
}

void StreamWriter::encodeInterval(uint32_t upperCum, uint32_t lowerCum, uint32_t total) {
    uint32_t range = high_ - low_;
    high_ = low_ + range * upperCum / total;
    low_ = low_ + range * lowerCum / total;
    for (;;) {
        if (high_ <= kQ2) {
            output(0);
        } else if (low_ >= kQ2) {
            output(1);
            low_ -= kQ2;
            high_ -= kQ2;
        } else if (low_ >= kQ1 && high_ <= kQ3) {
            ++pending_;
            low_ -= kQ1;
            high_ -= kQ1;
        } else {
            break;
        }
        low_ += low_;
        high_ += high_;
        ++doublings_;
    }
}

void StreamWriter::encodeChar(int ch) {
    int sym = chars_.charToSym[ch];
    encodeInterval(chars_.symCum[sym - 1], chars_.symCum[sym], chars_.total());
    chars_.update(sym);
}

void StreamWriter::literal(uint8_t byte) { encodeChar(byte); }

void StreamWriter::match(int position, int length) {
    encodeChar(kFirstLengthCode + length - kThreshold - 1);
    encodeInterval(positions_.positionCum[position], positions_.positionCum[position + 1], positions_.total());
}

std::vector<uint8_t> StreamWriter::finish() {
    if (bo::getLE32(out_.data()) == 0) {
        out_.resize(4); // size 0: the decoder reads nothing after the size field
        return std::move(out_);
    }
    // Two bits name a quarter that lies wholly inside the final interval, so
    // whatever follows them decodes the same.
    ++pending_;
    output(low_ < kQ1 ? 0 : 1);
    // The decoder reads 17 bits ahead of its first symbol and one per doubling:
    // pad with zeros to exactly that many, then to the byte.
    const uint64_t wanted = uint64_t(kValueBits) + doublings_;
    while (bitsWritten_ < wanted) putBit(0);
    while (bitMask_ != 0x80) putBit(0);
    return std::move(out_);
}

namespace {

// Binary search trees over the ring, one per first byte, as the classic LZSS
// match finder keeps them: node r is the string starting at ring position r.
class MatchFinder {
public:
    static constexpr int kNil = kRingSize;

    MatchFinder() {
        for (int i = kRingSize + 1; i <= kRingSize + 256; ++i) rson[i] = kNil;
        for (int i = 0; i < kRingSize; ++i) dad[i] = kNil;
    }

    // The ring carries a copy of its first F-1 bytes past its end so that a key
    // near the end compares without wrapping.
    std::array<uint8_t, kRingSize + kMaxMatch - 1> text{};
    int matchPosition = 0;
    int matchLength = 0;

    void insert(int r) {
        int cmp = 1;
        const uint8_t *key = &text[r];
        int p = kRingSize + 1 + key[0];
        rson[r] = lson[r] = kNil;
        matchLength = 0;
        for (;;) {
            if (cmp >= 0) {
                if (rson[p] != kNil) {
                    p = rson[p];
                } else {
                    rson[p] = r;
                    dad[r] = p;
                    return;
                }
            } else {
                if (lson[p] != kNil) {
                    p = lson[p];
                } else {
                    lson[p] = r;
                    dad[r] = p;
                    return;
                }
            }
            int i = 1;
            for (; i < kMaxMatch; ++i)
                if ((cmp = key[i] - text[p + i]) != 0) break;
            if (i > kThreshold) {
                if (i > matchLength) {
                    matchPosition = (r - p) & (kRingSize - 1);
                    if ((matchLength = i) >= kMaxMatch) break;
                } else if (i == matchLength) {
                    int distance = (r - p) & (kRingSize - 1);
                    if (distance < matchPosition) matchPosition = distance;
                }
            }
        }
        // A full-length match: r replaces p in the tree, p's string is older.
        dad[r] = dad[p];
        lson[r] = lson[p];
        rson[r] = rson[p];
        dad[lson[p]] = r;
        dad[rson[p]] = r;
        if (rson[dad[p]] == p)
            rson[dad[p]] = r;
        else
            lson[dad[p]] = r;
        dad[p] = kNil;
    }

    void remove(int p) {
        if (dad[p] == kNil) return;
        int q;
        if (rson[p] == kNil) {
            q = lson[p];
        } else if (lson[p] == kNil) {
            q = rson[p];
        } else {
            q = lson[p];
            if (rson[q] != kNil) {
                do {
                    q = rson[q];
                } while (rson[q] != kNil);
                rson[dad[q]] = lson[q];
                dad[lson[q]] = dad[q];
                lson[q] = lson[p];
                dad[lson[p]] = q;
            }
            rson[q] = rson[p];
            dad[rson[p]] = q;
        }
        dad[q] = dad[p];
        if (rson[dad[p]] == p)
            rson[dad[p]] = q;
        else
            lson[dad[p]] = q;
        dad[p] = kNil;
    }

private:
    // Index kNil is a scratch slot: links to "no node" are written through it.
    std::array<int, kRingSize + 1> lson{};
    std::array<int, kRingSize + 257> rson{};
    std::array<int, kRingSize + 1> dad{};
};

} // namespace

std::vector<uint8_t> pack(std::span<const uint8_t> data) {
    StreamWriter writer(uint32_t(data.size()));
    if (data.empty()) return writer.finish();

    auto tree = std::make_unique<MatchFinder>();
    auto &text = tree->text;
    size_t next = 0; // next input byte to enter the ring
    auto get = [&](int &c) {
        if (next >= data.size()) return false;
        c = data[next++];
        return true;
    };

    int s = 0;
    int r = kInitialFill;
    for (int i = s; i < r; ++i) text[i] = kFillByte;
    int len = 0;
    int c = 0;
    for (; len < kMaxMatch && get(c); ++len) text[r + len] = uint8_t(c);
    for (int i = 1; i <= kMaxMatch; ++i) tree->insert(r - i);
    tree->insert(r);
    do {
        if (tree->matchLength > len) tree->matchLength = len;
        if (tree->matchLength <= kThreshold) {
            tree->matchLength = 1;
            writer.literal(text[r]);
        } else {
            writer.match(tree->matchPosition - 1, tree->matchLength);
        }
        const int lastMatchLength = tree->matchLength;
        int i = 0;
        for (; i < lastMatchLength && get(c); ++i) {
            tree->remove(s);
            text[s] = uint8_t(c);
            if (s < kMaxMatch - 1) text[s + kRingSize] = uint8_t(c);
            s = (s + 1) & (kRingSize - 1);
            r = (r + 1) & (kRingSize - 1);
            tree->insert(r);
        }
        while (i++ < lastMatchLength) {
            tree->remove(s);
            s = (s + 1) & (kRingSize - 1);
            r = (r + 1) & (kRingSize - 1);
            if (--len) tree->insert(r);
        }
    } while (len > 0);
    return writer.finish();
}

} // namespace lzari
