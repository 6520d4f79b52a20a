#include "firmware/aes.h"

#include <cstring>

namespace korvex {

namespace {

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t xtime(uint8_t a) { return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1B : 0x00)); }

constexpr uint8_t multiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0) product ^= a;
        a = xtime(a);
        b = static_cast<uint8_t>(b >> 1);
    }
    return product;
}

constexpr uint8_t rotateLeft(uint8_t b, int n) { return static_cast<uint8_t>((b << n) | (b >> (8 - n))); }

}  // namespace

void Aes128Decipher::buildTables() {
    // Powers and logarithms of the generator 3 give the multiplicative inverses.
    uint8_t power[256] = {};
    uint8_t logarithm[256] = {};
    uint8_t p = 1;
    for (int i = 0; i < 255; ++i) {
        power[i] = p;
        logarithm[p] = static_cast<uint8_t>(i);
        p = multiply(p, 3);
    }
    for (int x = 0; x < 256; ++x) {
        const uint8_t inverse = x == 0 ? 0 : power[(255 - logarithm[x]) % 255];
        // The affine transformation of the S-box.
        const uint8_t s = static_cast<uint8_t>(inverse ^ rotateLeft(inverse, 1) ^ rotateLeft(inverse, 2) ^
                                               rotateLeft(inverse, 3) ^ rotateLeft(inverse, 4) ^ 0x63);
        sbox_[x] = s;
        inverseSbox_[s] = static_cast<uint8_t>(x);
        const auto a = static_cast<uint8_t>(x);
        times9_[x] = multiply(a, 9);
        times11_[x] = multiply(a, 11);
        times13_[x] = multiply(a, 13);
        times14_[x] = multiply(a, 14);
    }
    ready_ = true;
}

void Aes128Decipher::expandKey(const uint8_t key[kAes128KeySize], uint8_t schedule[kScheduleSize]) const {
    std::memcpy(schedule, key, kAes128KeySize);
    uint8_t roundConstant = 1;
    for (size_t i = kAes128KeySize; i < kScheduleSize; i += 4) {
        uint8_t word[4] = {schedule[i - 4], schedule[i - 3], schedule[i - 2], schedule[i - 1]};
        if (i % kAes128KeySize == 0) {
            // RotWord, SubWord, then the round constant.
            const uint8_t first = word[0];
            word[0] = static_cast<uint8_t>(sbox_[word[1]] ^ roundConstant);
            word[1] = sbox_[word[2]];
            word[2] = sbox_[word[3]];
            word[3] = sbox_[first];
            roundConstant = xtime(roundConstant);
        }
        for (size_t k = 0; k < 4; ++k) schedule[i + k] = static_cast<uint8_t>(schedule[i + k - kAes128KeySize] ^ word[k]);
    }
}

void Aes128Decipher::inverseCipher(const uint8_t schedule[kScheduleSize], const uint8_t in[kAesBlockSize],
                                   uint8_t out[kAesBlockSize]) const {
    // state[r + 4c] holds row r of column c, as the input bytes arrive.
    uint8_t state[kAesBlockSize];
    for (size_t i = 0; i < kAesBlockSize; ++i) state[i] = static_cast<uint8_t>(in[i] ^ schedule[kRounds * 16 + i]);
    for (size_t round = kRounds; round-- > 0;) {
        // InvShiftRows and InvSubBytes together: row r moves r columns right.
        uint8_t shifted[kAesBlockSize];
        for (size_t c = 0; c < 4; ++c)
            for (size_t r = 0; r < 4; ++r) shifted[r + 4 * ((c + r) % 4)] = inverseSbox_[state[r + 4 * c]];
        for (size_t i = 0; i < kAesBlockSize; ++i) state[i] = static_cast<uint8_t>(shifted[i] ^ schedule[round * 16 + i]);
        if (round == 0) break;
        for (size_t c = 0; c < 4; ++c) {
            uint8_t* col = state + 4 * c;
            const uint8_t a = col[0], b = col[1], d = col[2], e = col[3];
            col[0] = static_cast<uint8_t>(times14_[a] ^ times11_[b] ^ times13_[d] ^ times9_[e]);
            col[1] = static_cast<uint8_t>(times9_[a] ^ times14_[b] ^ times11_[d] ^ times13_[e]);
            col[2] = static_cast<uint8_t>(times13_[a] ^ times9_[b] ^ times14_[d] ^ times11_[e]);
            col[3] = static_cast<uint8_t>(times11_[a] ^ times13_[b] ^ times9_[d] ^ times14_[e]);
        }
    }
    std::memcpy(out, state, kAesBlockSize);
}

void Aes128Decipher::decryptBlock(const uint8_t key[kAes128KeySize], const uint8_t in[kAesBlockSize],
                                  uint8_t out[kAesBlockSize]) {
    if (!ready_) buildTables();
    uint8_t schedule[kScheduleSize];
    expandKey(key, schedule);
    inverseCipher(schedule, in, out);
}

void Aes128Decipher::decryptCbc(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize],
                                const uint8_t* in, uint8_t* out, size_t length) {
    if (!ready_) buildTables();
    uint8_t schedule[kScheduleSize];
    expandKey(key, schedule);
    uint8_t chain[kAesBlockSize];
    std::memcpy(chain, iv, kAesBlockSize);
    for (size_t at = 0; at + kAesBlockSize <= length; at += kAesBlockSize) {
        uint8_t cipherBlock[kAesBlockSize];
        std::memcpy(cipherBlock, in + at, kAesBlockSize);  // in may be out
        inverseCipher(schedule, cipherBlock, out + at);
        for (size_t k = 0; k < kAesBlockSize; ++k) out[at + k] = static_cast<uint8_t>(out[at + k] ^ chain[k]);
        std::memcpy(chain, cipherBlock, kAesBlockSize);
    }
}

}  // namespace korvex
