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
    }
    for (int x = 0; x < 256; ++x) {
        const uint8_t s = inverseSbox_[x];
        inverseRound_[x] = static_cast<uint32_t>(multiply(s, 14)) << 24 | static_cast<uint32_t>(multiply(s, 9)) << 16 |
                           static_cast<uint32_t>(multiply(s, 13)) << 8 | multiply(s, 11);
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
        for (size_t k = 0; k < 4; ++k)
            schedule[i + k] = static_cast<uint8_t>(schedule[i + k - kAes128KeySize] ^ word[k]);
    }
}

namespace {

constexpr uint32_t rotateRight(uint32_t w, int n) { return (w >> n) | (w << (32 - n)); }

constexpr uint32_t bigEndianWord(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
           b[3];
}

}  // namespace

void Aes128Decipher::inverseSchedule(const uint8_t key[kAes128KeySize], uint32_t words[kScheduleWords]) const {
    uint8_t schedule[kScheduleSize];
    expandKey(key, schedule);
    for (size_t i = 0; i < kScheduleWords; ++i) {
        const uint32_t w = bigEndianWord(schedule + 4 * i);
        if (i < 4 || i >= kScheduleWords - 4) {
            words[i] = w;
            continue;
        }
        // InvMixColumns alone: the S-box undoes the table's InvSubBytes.
        words[i] = inverseRound_[sbox_[w >> 24]] ^ rotateRight(inverseRound_[sbox_[(w >> 16) & 0xFF]], 8) ^
                   rotateRight(inverseRound_[sbox_[(w >> 8) & 0xFF]], 16) ^
                   rotateRight(inverseRound_[sbox_[w & 0xFF]], 24);
    }
}

void Aes128Decipher::inverseCipher(const uint32_t words[kScheduleWords], const uint8_t in[kAesBlockSize],
                                   uint8_t out[kAesBlockSize]) const {
    // One column per word, row 0 in the high byte, as the input bytes arrive.
    const uint32_t* key = words + 4 * kRounds;
    uint32_t s0 = bigEndianWord(in) ^ key[0];
    uint32_t s1 = bigEndianWord(in + 4) ^ key[1];
    uint32_t s2 = bigEndianWord(in + 8) ^ key[2];
    uint32_t s3 = bigEndianWord(in + 12) ^ key[3];
    const uint32_t* t = inverseRound_;
    // InvShiftRows: row r of column c comes from column c - r.
    const auto column = [t](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return t[a >> 24] ^ rotateRight(t[(b >> 16) & 0xFF], 8) ^ rotateRight(t[(c >> 8) & 0xFF], 16) ^
               rotateRight(t[d & 0xFF], 24);
    };
    for (size_t round = kRounds - 1; round > 0; --round) {
        key = words + 4 * round;
        const uint32_t t0 = column(s0, s3, s2, s1) ^ key[0];
        const uint32_t t1 = column(s1, s0, s3, s2) ^ key[1];
        const uint32_t t2 = column(s2, s1, s0, s3) ^ key[2];
        const uint32_t t3 = column(s3, s2, s1, s0) ^ key[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    // The last round has no InvMixColumns.
    const uint8_t* box = inverseSbox_;
    const auto last = [box](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return static_cast<uint32_t>(box[a >> 24]) << 24 | static_cast<uint32_t>(box[(b >> 16) & 0xFF]) << 16 |
               static_cast<uint32_t>(box[(c >> 8) & 0xFF]) << 8 | box[d & 0xFF];
    };
    const uint32_t result[4] = {last(s0, s3, s2, s1) ^ words[0], last(s1, s0, s3, s2) ^ words[1],
                                last(s2, s1, s0, s3) ^ words[2], last(s3, s2, s1, s0) ^ words[3]};
    for (size_t c = 0; c < 4; ++c) {
        out[4 * c] = static_cast<uint8_t>(result[c] >> 24);
        out[4 * c + 1] = static_cast<uint8_t>(result[c] >> 16);
        out[4 * c + 2] = static_cast<uint8_t>(result[c] >> 8);
        out[4 * c + 3] = static_cast<uint8_t>(result[c]);
    }
}

void Aes128Decipher::decryptBlock(const uint8_t key[kAes128KeySize], const uint8_t in[kAesBlockSize],
                                  uint8_t out[kAesBlockSize]) {
    if (!ready_) buildTables();
    uint32_t words[kScheduleWords];
    inverseSchedule(key, words);
    inverseCipher(words, in, out);
}

void Aes128Decipher::decryptCbc(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize], const uint8_t* in,
                                uint8_t* out, size_t length) {
    decryptCbcBlocks(key, iv, in, out, length, nullptr);
}

size_t Aes128Decipher::decryptCbcUntil(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize],
                                       const uint8_t* in, uint8_t* out, size_t length, uint8_t stop) {
    return decryptCbcBlocks(key, iv, in, out, length, &stop);
}

size_t Aes128Decipher::decryptCbcBlocks(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize],
                                        const uint8_t* in, uint8_t* out, size_t length, const uint8_t* stop) {
    if (!ready_) buildTables();
    uint32_t words[kScheduleWords];
    inverseSchedule(key, words);
    uint8_t chain[kAesBlockSize];
    std::memcpy(chain, iv, kAesBlockSize);
    size_t at = 0;
    while (at + kAesBlockSize <= length) {
        uint8_t cipherBlock[kAesBlockSize];
        std::memcpy(cipherBlock, in + at, kAesBlockSize);  // in may be out
        inverseCipher(words, cipherBlock, out + at);
        for (size_t k = 0; k < kAesBlockSize; ++k) out[at + k] = static_cast<uint8_t>(out[at + k] ^ chain[k]);
        std::memcpy(chain, cipherBlock, kAesBlockSize);
        at += kAesBlockSize;
        if (stop != nullptr && std::memchr(out + at - kAesBlockSize, *stop, kAesBlockSize) != nullptr) break;
    }
    return at;
}

}  // namespace korvex
