// AES-128 decipherment (the inverse cipher of FIPS-197) and the CBC mode of
// NIST SP 800-38A, enough to read an enciphered image footer. The tables are
// derived from the GF(2^8) arithmetic the first time they are needed, so the
// tool carries no precomputed table that could be mistyped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex {

inline constexpr size_t kAesBlockSize = 16;
inline constexpr size_t kAes128KeySize = 16;

class Aes128Decipher {
public:
    // Deciphers length bytes (a whole number of 16-byte blocks; any rest is
    // left untouched) from in to out in CBC mode. in and out may be the same.
    void decryptCbc(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize], const uint8_t* in, uint8_t* out,
                    size_t length);

    // As decryptCbc, but stops after the first block whose plaintext holds
    // the byte stop: for a text that ends there, the rest is never read.
    // Returns the number of bytes deciphered (a whole number of blocks).
    size_t decryptCbcUntil(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize], const uint8_t* in,
                           uint8_t* out, size_t length, uint8_t stop);

    // One block through the inverse cipher with the given key.
    void decryptBlock(const uint8_t key[kAes128KeySize], const uint8_t in[kAesBlockSize], uint8_t out[kAesBlockSize]);

private:
    static constexpr size_t kRounds = 10;
    static constexpr size_t kScheduleSize = kAesBlockSize * (kRounds + 1);
    static constexpr size_t kScheduleWords = kScheduleSize / 4;

    size_t decryptCbcBlocks(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize], const uint8_t* in,
                            uint8_t* out, size_t length, const uint8_t* stop);
    void buildTables();
    void expandKey(const uint8_t key[kAes128KeySize], uint8_t schedule[kScheduleSize]) const;
    // The round keys of the equivalent inverse cipher: InvMixColumns applied
    // to those of rounds 1 to 9, so that a round is four table look-ups per column.
    void inverseSchedule(const uint8_t key[kAes128KeySize], uint32_t words[kScheduleWords]) const;
    void inverseCipher(const uint32_t words[kScheduleWords], const uint8_t in[kAesBlockSize],
                       uint8_t out[kAesBlockSize]) const;

    bool ready_ = false;
    uint8_t sbox_[256] = {};
    uint8_t inverseSbox_[256] = {};
    // InvSubBytes and InvMixColumns of one byte as a column word: the products
    // of InvSbox(x) with 14, 9, 13 and 11, the first in the high byte. The
    // other rows are this word rotated.
    uint32_t inverseRound_[256] = {};
};

}  // namespace korvex
