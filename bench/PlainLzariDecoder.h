// The yardstick for the launcher's decoder: LZARI decoding as it was first
// published in 1989, transcribed here apart from the product on purpose so that
// the benchmark compares against the algorithm rather than against our own code.
// Every bit is fetched on its own, every model update walks the cumulative
// frequencies linearly, and symbols and positions are found by binary search.
// Input and output are plain memory, so that what is measured is the decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plainlzari {

class PlainDecoder {
public:
    // Decodes a stored stream (4-byte little-endian size, then the code) into
    // out; false when the size field is missing ("Read Error").
    bool decode(const std::vector<uint8_t> &stored, std::vector<uint8_t> &out) {
        in_ = stored.data();
        inEnd_ = stored.data() + stored.size();
        if (stored.size() < 4) return false;
        uint32_t textsize = uint32_t(in_[0]) | uint32_t(in_[1]) << 8 | uint32_t(in_[2]) << 16 | uint32_t(in_[3]) << 24;
        in_ += 4;
        out.clear();
        out.reserve(textsize);
        if (textsize == 0) return true;
        startDecode();
        startModel();
        for (int i = 0; i < N - F; i++) textBuf_[i] = ' ';
        int r = N - F;
        for (uint32_t count = 0; count < textsize;) {
            int c = decodeChar();
            if (c < 256) {
                out.push_back(uint8_t(c));
                textBuf_[r++] = uint8_t(c);
                r &= (N - 1);
                count++;
            } else {
                int i = (r - decodePosition() - 1) & (N - 1);
                int j = c - 255 + THRESHOLD;
                for (int k = 0; k < j; k++) {
                    c = textBuf_[(i + k) & (N - 1)];
                    out.push_back(uint8_t(c));
                    textBuf_[r++] = uint8_t(c);
                    r &= (N - 1);
                    count++;
                }
            }
        }
        return true;
    }

private:
    static constexpr int N = 4096, F = 60, THRESHOLD = 2;
    static constexpr int N_CHAR = 256 - THRESHOLD + F;
    static constexpr int M = 15;
    static constexpr uint32_t Q1 = 1u << M, Q2 = 2 * Q1, Q3 = 3 * Q1, Q4 = 4 * Q1;
    static constexpr uint32_t MAX_CUM = Q1 - 1;

    // getc(): the next byte, or EOF past the end (which reads as all ones).
    int getc() { return in_ < inEnd_ ? *in_++ : -1; }

    int getBit() {
        if ((mask_ >>= 1) == 0) {
            buffer_ = unsigned(getc());
            mask_ = 128;
        }
        return (buffer_ & mask_) != 0;
    }

    void startModel() {
        symCum_[N_CHAR] = 0;
        for (int sym = N_CHAR; sym >= 1; sym--) {
            int ch = sym - 1;
            charToSym_[ch] = sym;
            symToChar_[sym] = ch;
            symFreq_[sym] = 1;
            symCum_[sym - 1] = symCum_[sym] + symFreq_[sym];
        }
        symFreq_[0] = 0;
        positionCum_[N] = 0;
        for (int i = N; i >= 1; i--) positionCum_[i - 1] = positionCum_[i] + 10000 / (i + 200);
    }

    void updateModel(int sym) {
        if (symCum_[0] >= MAX_CUM) {
            unsigned c = 0;
            for (int i = N_CHAR; i > 0; i--) {
                symCum_[i] = c;
                c += (symFreq_[i] = (symFreq_[i] + 1) >> 1);
            }
            symCum_[0] = c;
        }
        int i;
        for (i = sym; symFreq_[i] == symFreq_[i - 1]; i--) {}
        if (i < sym) {
            int chI = symToChar_[i], chSym = symToChar_[sym];
            symToChar_[i] = chSym;
            symToChar_[sym] = chI;
            charToSym_[chI] = sym;
            charToSym_[chSym] = i;
        }
        symFreq_[i]++;
        while (--i >= 0) symCum_[i]++;
    }

    int binarySearchSym(unsigned x) {
        int i = 1, j = N_CHAR;
        while (i < j) {
            int k = (i + j) / 2;
            if (symCum_[k] > x)
                i = k + 1;
            else
                j = k;
        }
        return i;
    }

    int binarySearchPos(unsigned x) {
        int i = 1, j = N;
        while (i < j) {
            int k = (i + j) / 2;
            if (positionCum_[k] > x)
                i = k + 1;
            else
                j = k;
        }
        return i - 1;
    }

    void startDecode() {
        for (int i = 0; i < M + 2; i++) value_ = 2 * value_ + uint32_t(getBit());
    }

    void renormalise() {
        for (;;) {
            if (low_ >= Q2) {
                value_ -= Q2;
                low_ -= Q2;
                high_ -= Q2;
            } else if (low_ >= Q1 && high_ <= Q3) {
                value_ -= Q1;
                low_ -= Q1;
                high_ -= Q1;
            } else if (high_ > Q2)
                break;
            low_ += low_;
            high_ += high_;
            value_ = 2 * value_ + uint32_t(getBit());
        }
    }

    int decodeChar() {
        uint32_t range = high_ - low_;
        int sym = binarySearchSym(((value_ - low_ + 1) * symCum_[0] - 1) / range);
        high_ = low_ + (range * symCum_[sym - 1]) / symCum_[0];
        low_ += (range * symCum_[sym]) / symCum_[0];
        renormalise();
        int ch = symToChar_[sym];
        updateModel(sym);
        return ch;
    }

    int decodePosition() {
        uint32_t range = high_ - low_;
        int position = binarySearchPos(((value_ - low_ + 1) * positionCum_[0] - 1) / range);
        high_ = low_ + (range * positionCum_[position]) / positionCum_[0];
        low_ += (range * positionCum_[position + 1]) / positionCum_[0];
        renormalise();
        return position;
    }

    const uint8_t *in_ = nullptr;
    const uint8_t *inEnd_ = nullptr;
    unsigned buffer_ = 0, mask_ = 0;
    uint32_t low_ = 0, high_ = Q4, value_ = 0;
    uint8_t textBuf_[N + F - 1] = {};
    int charToSym_[N_CHAR] = {}, symToChar_[N_CHAR + 1] = {};
    unsigned symFreq_[N_CHAR + 1] = {}, symCum_[N_CHAR + 1] = {};
    unsigned positionCum_[N + 1] = {};
};

} // namespace plainlzari
