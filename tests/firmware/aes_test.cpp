// The tool's AES-128 decipherment against the published vectors and against OpenSSL.
#include <gtest/gtest.h>

#include <random>

#include "firmware/aes.h"
#include "firmware/package_builder.h"

namespace korvex::test {
namespace {

Bytes hex(const std::string& h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

// In place (the other tests decipher into a separate buffer); bytes after the
// last whole block stay as they were.
TEST(Aes128, CbcMatchesSp80038aF22) {
    const Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    Bytes data =
        hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
            "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7abababab");
    Aes128Decipher aes;
    aes.decryptCbc(key.data(), iv.data(), data.data(), data.data(), data.size());
    EXPECT_EQ(data, hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710abababab"));
}

TEST(Aes128, AgreesWithOpensslOnRandomKeysAndData) {
    std::mt19937 rng(20261206);
    Aes128Decipher aes;  // one object: its tables serve every key
    for (int round = 0; round < 200; ++round) {
        Bytes key(16), iv(16), plain(16 * (1 + rng() % 12));
        for (auto& b : key) b = static_cast<uint8_t>(rng());
        for (auto& b : iv) b = static_cast<uint8_t>(rng());
        for (auto& b : plain) b = static_cast<uint8_t>(rng());
        const Bytes cipher = opensslEncipher(plain, key.data(), iv.data());
        Bytes out(cipher.size());
        aes.decryptCbc(key.data(), iv.data(), cipher.data(), out.data(), cipher.size());
        ASSERT_EQ(out, plain) << "round " << round;
    }
}

// Deciphering up to the end of a text: it stops with the first block that
// holds the stop byte, and what it deciphered is what the whole run gives.
TEST(Aes128, StopsAfterTheBlockThatHoldsTheStopByte) {
    const Bytes key(16, 7), iv(16, 9);
    struct Case {
        const char* name;
        size_t stopAt;  // offset of the only 0 byte of the plaintext, or SIZE_MAX
        size_t expected;
    };
    const Case cases[] = {{"first byte", 0, 16},
                          {"last byte of the first block", 15, 16},
                          {"first of the second", 16, 32},
                          {"last byte of all", 191, 192},
                          {"none", SIZE_MAX, 192}};
    Aes128Decipher aes;
    for (const Case& c : cases) {
        Bytes plain(192, 0x41);
        if (c.stopAt != SIZE_MAX) plain[c.stopAt] = 0;
        const Bytes cipher = opensslEncipher(plain, key.data(), iv.data());
        Bytes out(192, 0xEE);
        EXPECT_EQ(aes.decryptCbcUntil(key.data(), iv.data(), cipher.data(), out.data(), cipher.size(), 0), c.expected)
            << c.name;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(c.expected)),
                  Bytes(plain.begin(), plain.begin() + static_cast<long>(c.expected)))
            << c.name;
        EXPECT_EQ(Bytes(out.begin() + static_cast<long>(c.expected), out.end()), Bytes(192 - c.expected, 0xEE))
            << c.name << ": nothing beyond the stop is written";
    }
}

}  // namespace
}  // namespace korvex::test
