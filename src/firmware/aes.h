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
    void decryptCbc(const uint8_t key[kAes128KeySize], const uint8_t iv[kAesBlockSize], const uint8_t* in,
                    uint8_t* out, size_t length);

    // One block through the inverse cipher with the given key.
    void decryptBlock(const uint8_t key[kAes128KeySize], const uint8_t in[kAesBlockSize],
                      uint8_t out[kAesBlockSize]);

private:
    static constexpr size_t kRounds = 10;
    static constexpr size_t kScheduleSize = kAesBlockSize * (kRounds + 1);

    void buildTables();
    void expandKey(const uint8_t key[kAes128KeySize], uint8_t schedule[kScheduleSize]) const;
    void inverseCipher(const uint8_t schedule[kScheduleSize], const uint8_t in[kAesBlockSize],
                       uint8_t out[kAesBlockSize]) const;

    bool ready_ = false;
    uint8_t sbox_[256] = {};
    uint8_t inverseSbox_[256] = {};
    // Products with the coefficients of InvMixColumns.
    uint8_t times9_[256] = {};
    uint8_t times11_[256] = {};
    uint8_t times13_[256] = {};
    uint8_t times14_[256] = {};
};

}  // namespace korvex
