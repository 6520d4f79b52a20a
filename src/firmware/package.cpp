#include "firmware/package.h"

#include <cstring>

#include "firmware/footer_key.h"
#include "platform/text.h"
#include "transport/protocol.h"

namespace korvex {

namespace {

constexpr size_t kSignatureLength = sizeof(kPackageSignature) - 1;
constexpr size_t kSignatureStep = 16;
constexpr size_t kNameOffset = 32;  // from the signature to the unique file name
constexpr size_t kEntryMarkerLength = sizeof(kFooterEntryMarker) - 1;
constexpr char kWebfsName[] = "out_webfs_img.bin";
constexpr size_t kWebfsNameLength = sizeof(kWebfsName) - 1;
constexpr uint64_t kWebfsExtra = 23;  // added to that part's length with the unique name's length
constexpr size_t kNotFound = static_cast<size_t>(-1);

// Every position inside a footer text is found and bounded here.
struct TextView {
    const char* data;
    size_t size;

    // First occurrence of needle starting at or after from, or kNotFound.
    size_t find(const char* needle, size_t from) const {
        const size_t n = text::length(needle);
        if (n == 0) return from <= size ? from : kNotFound;
        if (from > size || n > size - from) return kNotFound;
        // memchr finds the candidates: a block is 32 KiB of text at worst.
        const size_t last = size - n;  // the last place a match can begin
        for (size_t at = from; at <= last; ++at) {
            const void* hit = std::memchr(data + at, needle[0], last - at + 1);
            if (hit == nullptr) return kNotFound;
            at = static_cast<size_t>(static_cast<const char*>(hit) - data);
            if (std::memcmp(data + at, needle, n) == 0) return at;
        }
        return kNotFound;
    }
};

// The text a block holds when read up to its first NUL byte.
size_t textLength(const uint8_t* bytes, size_t length) {
    const void* nul = std::memchr(bytes, 0, length);
    return nul == nullptr ? length : static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One "%lx" field at *at, as strtoul reads it with base 16: a value too large
// for 64 bits saturates. false when no digit stands there.
bool scanHex(const char* text, size_t length, size_t* at, uint64_t* value) {
    size_t i = *at;
    while (i < length && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // "0x" counts as a prefix only when a hexadecimal digit follows it.
    if (i + 2 < length && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && hexDigit(text[i + 2]) >= 0)
        i += 2;
    if (i >= length || hexDigit(text[i]) < 0) return false;
    uint64_t v = 0;
    bool saturated = false;
    for (; i < length && hexDigit(text[i]) >= 0; ++i) {
        if (v > (UINT64_MAX >> 4)) saturated = true;
        v = (v << 4) | static_cast<uint64_t>(hexDigit(text[i]));
    }
    if (saturated)
        v = UINT64_MAX;
    else if (negative)
        v = 0 - v;
    *value = v;
    *at = i;
    return true;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

int scanFooterEntry(const char* text, size_t length, FooterEntry* entry) {
    size_t at = 0;
    if (!scanHex(text, length, &at, &entry->startOffset)) return 0;
    if (!scanHex(text, length, &at, &entry->length)) return 1;
    if (!scanHex(text, length, &at, &entry->third)) return 2;
    while (at < length && isSpace(text[at])) ++at;
    if (at >= length) return 3;
    size_t n = 0;
    for (; at < length && !isSpace(text[at]); ++at)
        if (n + 1 < kPartNameField) entry->name[n++] = text[at];
    entry->name[n] = '\0';
    return 4;
}

uint64_t areaLengthFor(uint64_t length) {
    const uint64_t granules = length / kAreaGranule + (length % kAreaGranule != 0 ? 1 : 0);
    return granules > UINT64_MAX / kAreaGranule ? UINT64_MAX - (UINT64_MAX % kAreaGranule) : granules * kAreaGranule;
}

bool PackageScanner::appendPart(const Part& part) {
    if (partCount_ >= kMaxParts) {
        overfull_ = true;
        return false;
    }
    parts_[partCount_++] = part;
    return true;
}

void PackageScanner::findSignature(const uint8_t* bytes, size_t length) {
    const size_t block = length < kPackageBlockSize ? length : kPackageBlockSize;
    uint64_t signature;
    std::memcpy(&signature, kPackageSignature, kSignatureLength);
    // This runs over every block: eight bytes in one compare, and four
    // places tested together, so that a block without a signature costs
    // little more than reading it.
    constexpr size_t kGroup = 4 * kSignatureStep;
    size_t s = 0;
    for (; s + kGroup <= block; s += kGroup) {
        uint64_t w[4];
        for (size_t k = 0; k < 4; ++k) std::memcpy(&w[k], bytes + s + k * kSignatureStep, kSignatureLength);
        if (((w[0] == signature) | (w[1] == signature) | (w[2] == signature) | (w[3] == signature)) != 0) break;
    }
    for (; s + kSignatureLength <= block; s += kSignatureStep) {
        uint64_t candidate;
        std::memcpy(&candidate, bytes + s, kSignatureLength);
        if (candidate != signature) continue;
        size_t n = 0;
        for (size_t at = s + kNameOffset; at < block && n < kUniqueNameMax && bytes[at] != 0; ++at)
            uniqueName_[n++] = static_cast<char>(bytes[at]);
        uniqueName_[n] = '\0';
        uniqueNameLength_ = n;
        // "[%s:%d] Unique File name=%s len=%d\n", with the name printed as
        // the package's own text, which the console may have to defuse.
        console_.print("[%s:%d] Unique File name=", "find_respective_image_info", 788);
        console_.printUntrusted(uniqueName_);
        console_.print(" len=%d\n", static_cast<int>(n));
        return;
    }
}

int PackageScanner::find_respective_image_info(const uint8_t* bytes, size_t length) {
    findSignature(bytes, length);

    const TextView plain{reinterpret_cast<const char*>(bytes), textLength(bytes, length)};
    if (plain.find(kFooterEntryMarker, 0) != kNotFound) return parseFooter(plain.data, plain.size);

    if (length < kEncipheredFooterSize) return 0;
    uint8_t secret[kFooterSecretSize];
    assembleFooterSecret(secret);
    uint8_t deciphered[kEncipheredFooterSize];
    // The text ends at its first NUL byte: most blocks hold no footer, and
    // their text ends within the first cipher block or two.
    const size_t done =
        aes_.decryptCbcUntil(secret, secret + kAes128KeySize, bytes, deciphered, kEncipheredFooterSize, 0);
    std::memset(secret, 0, sizeof secret);
    const TextView footer{reinterpret_cast<const char*>(deciphered), textLength(deciphered, done)};
    if (footer.find(kFooterEntryMarker, 0) == kNotFound) return 0;
    return parseFooter(footer.data, footer.size);
}

int PackageScanner::parseFooter(const char* data, size_t size) {
    const TextView text{data, size};
    int found = 0;
    size_t position = 0;
    for (;;) {
        const size_t marker = text.find(kFooterEntryMarker, position);
        if (marker == kNotFound) return found;
        const size_t start = marker + kEntryMarkerLength;
        size_t end = text.find(kFooterEntryMarker, start);
        if (end == kNotFound) end = text.find(kFooterEndMark, start);
        FooterEntry entry;
        // An entry that lacks a field would leave a start offset or length
        // that no footer gave; it spoils the footer as a missing end does.
        if (end == kNotFound || scanFooterEntry(text.data + start, end - start, &entry) < 4) {
            console_.print("find_respective_image_info() : image format err!!\n");
            return 0;
        }
        if (std::memcmp(entry.name, kWebfsName, kWebfsNameLength) == 0)
            entry.length = saturatingAdd(entry.length, uniqueNameLength_ + kWebfsExtra);
        if (!appendPart(Part{entry.startOffset, areaLengthFor(entry.length), entry.length})) return 0;
        found = 1;
        position = end;
    }
}

}  // namespace korvex
