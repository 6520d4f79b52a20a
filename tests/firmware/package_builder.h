// Update packages for the tests, written independently of the tool's reader:
// footers are enciphered with OpenSSL, signatures and entries laid out by
// hand, so that each test package can carry exactly the defect it is named for.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "firmware/footer_key.h"
#include "transport/protocol.h"

namespace korvex::test {

using Bytes = std::vector<uint8_t>;

// Bytes that never contain a footer marker by chance and rarely 0xFF, so a
// part that lands in the wrong place shows.
inline Bytes patternBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng() % 0xF0);
    return b;
}

// AES-128-CBC of a whole number of blocks, by OpenSSL.
inline Bytes opensslEncipher(const Bytes& plain, const uint8_t* key, const uint8_t* iv) {
    Bytes out(plain.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n1 = 0, n2 = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n1, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

// The 192 enciphered bytes of a footer text (NUL-filled to 192 bytes), with the footer key.
inline Bytes encipheredFooter(const std::string& text) {
    Bytes plain(192, 0);
    std::memcpy(plain.data(), text.data(), std::min<size_t>(text.size(), 192));
    uint8_t secret[kFooterSecretSize];
    assembleFooterSecret(secret);
    return opensslEncipher(plain, secret, secret + 16);
}

inline std::string entryLine(uint64_t offset, uint64_t length, const std::string& name) {
    char line[400];
    std::snprintf(line, sizeof line, "%s%llx %llx 0 %s\n", kFooterEntryMarker, static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(length), name.c_str());
    return line;
}

class PackageBuilder {
public:
    explicit PackageBuilder(size_t size) : bytes(size, 0xFF) {}

    // Places the part's bytes and lists it in the footer.
    PackageBuilder& part(const std::string& name, uint64_t offset, const Bytes& data) {
        footer += entryLine(offset, data.size(), name);
        return put(offset, data);
    }
    PackageBuilder& signature(uint64_t offset, const std::string& name) {
        return text(offset, std::string(kPackageSignature) + std::string(24, '\0') + name);
    }
    // The entries so far, ended by "[end]" unless told otherwise.
    PackageBuilder& plainFooter(uint64_t block, bool withEnd = true) {
        return text(block, withEnd ? footer + kFooterEndMark : footer);
    }
    PackageBuilder& encipheredFooterAt(uint64_t block) { return put(block, encipheredFooter(footer + kFooterEndMark)); }
    PackageBuilder& text(uint64_t offset, const std::string& s, bool nul = true) {
        return put(offset, Bytes(s.c_str(), s.c_str() + s.size() + (nul ? 1 : 0)));
    }
    PackageBuilder& put(uint64_t offset, const Bytes& data) {
        if (offset + data.size() > bytes.size()) bytes.resize(offset + data.size(), 0xFF);
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<long>(offset));
        return *this;
    }
    std::string str() const { return std::string(bytes.begin(), bytes.end()); }

    Bytes bytes;
    std::string footer;  // the entry lines so far
};

}  // namespace korvex::test
