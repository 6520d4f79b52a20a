// The update package's own records: the image signature with the unique file
// name, the image footer (plain or enciphered) and the part table built from
// it. Everything here works on bytes already in memory, (pointer, length),
// and reads or writes no file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/aes.h"
#include "platform/platform.h"

namespace korvex {

inline constexpr size_t kPackageBlockSize = 0x8000;  // the package is read 32 KiB at a time
inline constexpr size_t kMaxParts = 8;
inline constexpr size_t kUniqueNameMax = 90;
inline constexpr size_t kPartNameField = 128;  // 127 characters and the terminating zero
inline constexpr size_t kEncipheredFooterSize = 192;
inline constexpr uint64_t kFooterAreaLength = 0x40000;
inline constexpr uint64_t kAreaGranule = 0x10000;  // area lengths are whole 64 KiB units

struct Part {
    uint64_t startOffset = 0;
    uint64_t areaLength = 0;
    uint64_t length = 0;

    bool operator==(const Part&) const = default;
};

// The fields of one footer entry, as "%lx %lx %lx %s" reads them.
struct FooterEntry {
    uint64_t startOffset = 0;
    uint64_t length = 0;
    uint64_t third = 0;  // read and not used
    char name[kPartNameField] = {};
};

// Reads "%lx %lx %lx %s" from text[0, length), which need not be terminated:
// hexadecimal numbers with an optional sign and 0x prefix, white space
// skipped before each field, the name a word ending at white space. A name
// longer than 127 characters is cut to its first 127. Returns the number of
// fields read, 0 to 4; fields not read keep their values.
int scanFooterEntry(const char* text, size_t length, FooterEntry* entry);

// length raised to the next multiple of 64 KiB (a multiple, 0 included,
// stays); saturates at the largest multiple instead of wrapping.
uint64_t areaLengthFor(uint64_t length);

// The signature and footer reader, with the state one validation builds up:
// the part table and the latest unique file name. One per run.
class PackageScanner {
public:
    explicit PackageScanner(Console& console) : console_(console) {}
    PackageScanner(const PackageScanner&) = delete;
    PackageScanner& operator=(const PackageScanner&) = delete;

    // Looks at bytes[0, length) as one block of the package (or a longer
    // stretch: the signature is then still sought in the first 32 KiB only).
    // 1 when a footer was found and every one of its entries was taken.
    int find_respective_image_info(const uint8_t* bytes, size_t length);

    // Appends a part; false when the table is full, which marks it overfull.
    bool appendPart(const Part& part);

    uint8_t partCount() const { return partCount_; }
    const Part& part(size_t index) const { return parts_[index]; }
    // A footer asked for more parts than the table holds; what did not fit
    // was dropped.
    bool overfull() const { return overfull_; }
    const char* uniqueName() const { return uniqueName_; }
    size_t uniqueNameLength() const { return uniqueNameLength_; }

private:
    void findSignature(const uint8_t* bytes, size_t length);
    int parseFooter(const char* text, size_t length);

    Console& console_;
    Aes128Decipher aes_;
    Part parts_[kMaxParts];
    uint8_t partCount_ = 0;
    bool overfull_ = false;
    char uniqueName_[kUniqueNameMax + 1] = {};
    size_t uniqueNameLength_ = 0;
};

}  // namespace korvex
