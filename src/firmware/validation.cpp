#include "firmware/validation.h"

#include <cstring>

namespace korvex {

namespace {

constexpr size_t kEntryMarkerLength = sizeof(kFooterEntryMarker) - 1;
constexpr uint64_t kRecordFieldMax = 0xFFFFFFFFu;

bool contains(const uint8_t* bytes, size_t length, const char* needle, size_t needleLength) {
    for (size_t at = 0; at + needleLength <= length; ++at)
        if (std::memcmp(bytes + at, needle, needleLength) == 0) return true;
    return false;
}

Validation refuse(BmcLink& link) {
    bmcColdReset(link);
    return Validation::Refused;
}

// Update state 2: every block is looked at; each accepted footer adds its
// entries and then its own footer area.
Validation scanForFooters(BmcLink& link, File& package, uint64_t size, uint8_t* blockBuffer, PackageScanner& scanner) {
    link.console.print("Check if this file is valid................\n");
    switch (scanPackageBlocks(package, size, blockBuffer, scanner)) {
        case PackageVerdict::Accepted:
            return Validation::Accepted;
        case PackageVerdict::TooManyParts:
            link.console.print("Error!\nUpdate package has too many parts!\n");
            break;
        case PackageVerdict::NoFooter:
            link.console.print(
                "Error!\nUpdate package type mismatch!\nPlease select the correct type and try again!\n");
            break;
        case PackageVerdict::PartOutOfRange:
            link.console.print("Error!\nUpdate package part is out of range!\n");
            break;
    }
    return refuse(link);
}

// Any other update state: the package is refused whatever it holds; only the
// wording depends on whether it carries a footer marker anywhere (a marker
// that straddles two blocks counts too).
Validation refuseForState(BmcLink& link, File& package, uint64_t size, uint8_t* blockBuffer) {
    package.seek(0, SeekFrom::Start);
    uint8_t seam[2 * (kEntryMarkerLength - 1)];
    size_t carried = 0;  // tail bytes of the previous block kept in seam
    bool met = false;
    for (uint64_t offset = 0; offset < size && !met; offset += kPackageBlockSize) {
        const uint64_t left = size - offset;
        const size_t want = left < kPackageBlockSize ? static_cast<size_t>(left) : kPackageBlockSize;
        const size_t got = package.read(blockBuffer, want);
        if (got == 0) break;
        const size_t head = got < kEntryMarkerLength - 1 ? got : kEntryMarkerLength - 1;
        std::memcpy(seam + carried, blockBuffer, head);
        met = contains(seam, carried + head, kFooterEntryMarker, kEntryMarkerLength) ||
              contains(blockBuffer, got, kFooterEntryMarker, kEntryMarkerLength);
        carried = got < kEntryMarkerLength - 1 ? got : kEntryMarkerLength - 1;
        std::memcpy(seam, blockBuffer + got - carried, carried);
    }
    if (met) link.console.print("The image format error!!\n");
    link.console.print("Please select the correct image file and try again.\n");
    return refuse(link);
}

}  // namespace

PackageVerdict scanPackageBlocks(File& package, uint64_t size, uint8_t* blockBuffer, PackageScanner& scanner,
                                 BlockObserver* observer) {
    package.seek(0, SeekFrom::Start);
    unsigned accepted = 0;
    for (uint64_t offset = 0; offset < size; offset += kPackageBlockSize) {
        const uint64_t left = size - offset;
        const size_t want = left < kPackageBlockSize ? static_cast<size_t>(left) : kPackageBlockSize;
        const size_t got = package.read(blockBuffer, want);
        if (got == 0) break;  // the file ended before its size said
        const bool footer = scanner.find_respective_image_info(blockBuffer, got) == 1;
        if (footer) {
            ++accepted;
            scanner.appendPart(Part{offset, kFooterAreaLength, kFooterAreaLength});
        }
        if (observer != nullptr) observer->blockScanned(offset, blockBuffer, got, footer);
        if (scanner.overfull()) return PackageVerdict::TooManyParts;
    }
    if (accepted == 0) return PackageVerdict::NoFooter;
    for (uint8_t i = 0; i < scanner.partCount(); ++i)
        if (!partInRange(scanner.part(i), size)) return PackageVerdict::PartOutOfRange;
    return PackageVerdict::Accepted;
}

bool partInRange(const Part& part, uint64_t packageSize) {
    if (part.startOffset > kRecordFieldMax || part.areaLength > kRecordFieldMax || part.length > kRecordFieldMax)
        return false;
    const uint64_t blocks = packageSize / kPackageBlockSize + (packageSize % kPackageBlockSize != 0 ? 1 : 0);
    const uint64_t covered = blocks * kPackageBlockSize > kFlashSize ? blocks * kPackageBlockSize : kFlashSize;
    return part.startOffset + part.length <= covered + kFooterAreaLength;
}

Validation runValidationScan(BmcLink& link, File& package, uint64_t size, uint8_t updateState, uint8_t* blockBuffer,
                             PackageScanner& scanner) {
    if (updateState == kUpdateStateReady) return scanForFooters(link, package, size, blockBuffer, scanner);
    return refuseForState(link, package, size, blockBuffer);
}

}  // namespace korvex
