// The tool's AES-128-CBC decipherment against OpenSSL's encipherment, on
// random keys, lengths and stop bytes: it stops with the first block that
// holds the stop byte, and writes nothing beyond it.
#include <gtest/gtest.h>

#include <random>

#include "firmware/aes.h"
#include "firmware/package_builder.h"

namespace korvex::test {
namespace {

TEST(Aes128, DeciphersAsOpensslEnciphersUpToTheStopByte) {
    std::mt19937 rng(20261206);
    Aes128Decipher aes;  // one object: its tables serve every key
    for (int round = 0; round < 300; ++round) {
        Bytes key(16), iv(16), plain(16 * (1 + rng() % 12));
        for (auto& b : key) b = static_cast<uint8_t>(rng());
        for (auto& b : iv) b = static_cast<uint8_t>(rng());
        for (auto& b : plain) b = static_cast<uint8_t>(1 + rng() % 255);
        const size_t stop = rng() % (plain.size() + 16);  // beyond the text: no stop byte at all
        if (stop < plain.size()) plain[stop] = 0;
        const size_t end = stop < plain.size() ? stop / 16 * 16 + 16 : plain.size();
        Bytes expected(plain.begin(), plain.begin() + static_cast<long>(end));
        expected.resize(plain.size(), 0xEE);
        Bytes out(plain.size(), 0xEE);
        const Bytes cipher = opensslEncipher(plain, key.data(), iv.data());
        ASSERT_EQ(aes.decryptCbcUntil(key.data(), iv.data(), cipher.data(), out.data(), cipher.size(), 0), end);
        ASSERT_EQ(out, expected) << "round " << round;
    }
}

}  // namespace
}  // namespace korvex::test
