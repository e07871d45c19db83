// The two models of the LZARI stream, shared by the packer and the decoder.
#include "LzariModel.h"

namespace lzari {

void CharModel::start() {
    symCum[kCharCount] = 0;
    for (int sym = kCharCount; sym >= 1; --sym) {
        int ch = sym - 1;
        charToSym[ch] = sym;
        symToChar[sym] = ch;
        symFreq[sym] = 1;
        symCum[sym - 1] = symCum[sym] + symFreq[sym];
    }
    symFreq[0] = 0; // the sentinel differs from every live frequency and stops the walk in update()
}

void CharModel::update(int sym) {
    if (symCum[0] >= kMaxCum) {
        // Halving, rounding up, keeps every live frequency at 1 or more, so no
        // character ever becomes uncodable and the total stays below Q1.
        uint32_t c = 0;
        for (int i = kCharCount; i > 0; --i) {
            symCum[i] = c;
            symFreq[i] = (symFreq[i] + 1) >> 1;
            c += symFreq[i];
        }
        symCum[0] = c;
    }
    int i = sym;
    while (symFreq[i] == symFreq[i - 1]) --i;
    if (i < sym) {
        int chI = symToChar[i];
        int chSym = symToChar[sym];
        symToChar[i] = chSym;
        symToChar[sym] = chI;
        charToSym[chI] = sym;
        charToSym[chSym] = i;
    }
    ++symFreq[i];
    while (--i >= 0) ++symCum[i];
}

void CharTree::start() {
    freq_[0] = 0;
    for (int sym = 1; sym <= kCharCount; ++sym) {
        freq_[sym] = 1;
        symToChar_[sym] = uint16_t(sym - 1);
    }
    total_ = kCharCount;
    rebuildTree();
}

void CharTree::halve() {
    uint32_t c = 0;
    for (int i = kCharCount; i > 0; --i) {
        freq_[i] = (freq_[i] + 1) >> 1;
        c += freq_[i];
    }
    total_ = c;
    rebuildTree();
}

void CharTree::rebuildTree() {
    tree_.fill(kPadding);
    tree_[0] = 0;
    for (uint32_t k = 1; k <= uint32_t(kCharCount); ++k) tree_[k] = freq_[k];
    for (uint32_t k = 1; k <= uint32_t(kCharCount); ++k) {
        uint32_t parent = k + (k & (0u - k));
        if (parent <= uint32_t(kCharCount)) tree_[parent] += tree_[k];
    }
}

uint32_t CharTree::cumulative(int sym) const {
    uint32_t prefix = 0;
    for (uint32_t k = uint32_t(sym); k > 0; k &= k - 1) prefix += tree_[k];
    return total_ - prefix;
}

void PositionIndex::start() {
    cum_[kRingSize] = 0;
    for (int i = kRingSize; i >= 1; --i) cum_[i - 1] = uint16_t(cum_[i] + 10000 / (i + 200));
    // Buckets in rising x, whose answers fall: one walk down the positions.
    uint32_t i = kRingSize;
    for (size_t b = 0; b < kBuckets; ++b) {
        const uint32_t last = uint32_t(b << kBucketBits) + (1u << kBucketBits) - 1;
        while (i > 1 && cum_[i - 1] <= last) --i;
        first_[b] = uint16_t(i);
    }
}

void PositionModel::start() {
    positionCum[kRingSize] = 0;
    for (int i = kRingSize; i >= 1; --i) positionCum[i - 1] = positionCum[i] + uint32_t(10000 / (i + 200));
}

} // namespace lzari
