// The footer key and footer vector with which image footers are enciphered.
// Shared by the tool, which deciphers footers, and korvex-pack, which
// enciphers them: both must use the very same pair.
//
// The pair is never stored whole: it is put together from two unrelated
// constant halves each time a footer is deciphered, so that the 32 bytes do
// not stand in the binary as one run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex {

inline constexpr size_t kFooterSecretSize = 32;  // bytes 0-15 key, 16-31 vector

namespace footer_detail {
inline constexpr uint8_t kMaskA[kFooterSecretSize] = {0x40, 0x5E, 0x2A, 0x0E, 0x54, 0x19, 0xE4, 0xC9, 0x1E, 0x57, 0xF9,
                                                      0x9E, 0x6C, 0x1B, 0x96, 0xEF, 0x30, 0xCF, 0x13, 0x85, 0xC9, 0xF4,
                                                      0xB7, 0xA4, 0x63, 0xD9, 0x82, 0x41, 0xDA, 0xA4, 0x09, 0xF7};
inline constexpr uint8_t kMaskB[kFooterSecretSize] = {0x62, 0x3E, 0x32, 0xF7, 0xA9, 0xA4, 0x8E, 0x74, 0x71, 0x99, 0x79,
                                                      0xA1, 0xAD, 0x09, 0x11, 0xA7, 0x5C, 0x8F, 0xB4, 0x5E, 0x44, 0x64,
                                                      0x8A, 0xC8, 0xD1, 0xC2, 0x89, 0xC6, 0x5F, 0x66, 0x57, 0x9D};
}  // namespace footer_detail

// Fills out[0..31]: the footer key in bytes 0-15, the footer vector in 16-31.
inline void assembleFooterSecret(uint8_t out[kFooterSecretSize]) {
    for (size_t i = 0; i < kFooterSecretSize; ++i)
        out[i] = static_cast<uint8_t>(footer_detail::kMaskA[i] ^ footer_detail::kMaskB[kFooterSecretSize - 1 - i]);
}

}  // namespace korvex
