// The validation scan: reads the update package block by block, builds the
// part table from its footers, and refuses a package the BMC may not take.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/package.h"
#include "platform/platform.h"
#include "transport/ipmi.h"

namespace korvex {

enum class Validation : uint8_t { Accepted, Refused };

// What the scan of update state 2 makes of a package. korvex-pack judges
// packages with the same scan, so that it cannot accept what the tool refuses.
enum class PackageVerdict : uint8_t { Accepted, TooManyParts, NoFooter, PartOutOfRange };

// Told of every block the scan has looked at, and whether its footer was accepted.
class BlockObserver {
public:
    virtual void blockScanned(uint64_t offset, const uint8_t* bytes, size_t length, bool accepted) = 0;

protected:
    ~BlockObserver() = default;
};

// The scan of update state 2 without its messages and BMC reset: reads
// package (size bytes) block by block through blockBuffer (32 KiB), leaves
// the parts in scanner and judges them. Only the scanner prints.
PackageVerdict scanPackageBlocks(File& package, uint64_t size, uint8_t* blockBuffer, PackageScanner& scanner,
                                 BlockObserver* observer = nullptr);

// With update state 2, scans package (size bytes, open for reading) through
// blockBuffer (32 KiB) and leaves the parts in scanner. Any refusal has
// printed its messages and reset the BMC.
Validation runValidationScan(BmcLink& link, File& package, uint64_t size, uint8_t updateState, uint8_t* blockBuffer,
                             PackageScanner& scanner);

// Whether a part can be sent as it is: its three values fit the block info
// record, and it ends no further beyond the package (or the flash, for a
// small package) than a footer area can reach. The transfer of a part
// beyond that would run for hours on bytes the package does not hold.
bool partInRange(const Part& part, uint64_t packageSize);

}  // namespace korvex
