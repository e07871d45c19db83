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

void PositionModel::start() {
    positionCum[kRingSize] = 0;
    for (int i = kRingSize; i >= 1; --i) positionCum[i - 1] = positionCum[i] + uint32_t(10000 / (i + 200));
}

} // namespace lzari
