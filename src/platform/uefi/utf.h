// UTF-8 <-> UTF-16 for the UEFI console and file names. The firmware speaks
// UCS-2/UTF-16; the core speaks 8-bit text. Kept free of firmware types so
// the host tests can check it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex::uefi {

inline constexpr uint32_t kReplacement = 0xFFFD;

// Decodes UTF-8 a byte at a time, so that text split across calls decodes
// the same as text in one piece. Malformed input becomes U+FFFD.
class Utf8Decoder {
public:
    // Writes 0, 1 or 2 code points to out and returns their number.
    constexpr size_t feed(uint8_t byte, uint32_t out[2]) {
        size_t n = 0;
        if (left_ > 0) {
            if ((byte & 0xC0) == 0x80) {
                cp_ = (cp_ << 6) | (byte & 0x3Fu);
                if (--left_ == 0) out[n++] = valid() ? cp_ : kReplacement;
                return n;
            }
            left_ = 0;
            out[n++] = kReplacement;  // a sequence cut short; the byte starts afresh
        }
        if (byte < 0x80) {
            out[n++] = byte;
        } else if (byte >= 0xC2 && byte <= 0xDF) {
            start(byte & 0x1Fu, 1, 0x80);
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            start(byte & 0x0Fu, 2, 0x800);
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            start(byte & 0x07u, 3, 0x10000);
        } else {
            out[n++] = kReplacement;
        }
        return n;
    }
    // True while a sequence is incomplete.
    constexpr bool pending() const { return left_ > 0; }

private:
    constexpr void start(uint32_t bits, unsigned left, uint32_t minimum) {
        cp_ = bits;
        left_ = left;
        minimum_ = minimum;
    }
    constexpr bool valid() const { return cp_ >= minimum_ && cp_ <= 0x10FFFF && (cp_ < 0xD800 || cp_ > 0xDFFF); }

    uint32_t cp_ = 0;
    uint32_t minimum_ = 0;
    unsigned left_ = 0;
};

// One code point as UTF-16 units; returns their number (1 or 2).
constexpr size_t encodeUtf16(uint32_t cp, uint16_t out[2]) {
    if (cp < 0x10000) {
        out[0] = static_cast<uint16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
    out[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

// One code point as UTF-8; returns the number of bytes (1 to 4).
constexpr size_t encodeUtf8(uint32_t cp, char out[4]) {
    auto byte = [](uint32_t v) { return static_cast<char>(static_cast<uint8_t>(v)); };
    if (cp < 0x80) {
        out[0] = byte(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = byte(0xC0 | (cp >> 6));
        out[1] = byte(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = byte(0xE0 | (cp >> 12));
        out[1] = byte(0x80 | ((cp >> 6) & 0x3F));
        out[2] = byte(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = byte(0xF0 | (cp >> 18));
    out[1] = byte(0x80 | ((cp >> 12) & 0x3F));
    out[2] = byte(0x80 | ((cp >> 6) & 0x3F));
    out[3] = byte(0x80 | (cp & 0x3F));
    return 4;
}

// Reads one code point from zero-terminated UTF-16 at *text and advances it;
// a lone surrogate becomes U+FFFD.
constexpr uint32_t nextUtf16(const uint16_t** text) {
    const uint16_t* p = *text;
    const uint32_t unit = *p++;
    uint32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && *p >= 0xDC00 && *p <= 0xDFFF) {
        cp = 0x10000 + ((unit - 0xD800) << 10) + (*p - 0xDC00u);
        ++p;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
        cp = kReplacement;
    }
    *text = p;
    return cp;
}

}  // namespace korvex::uefi
