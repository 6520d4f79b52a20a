// The validation scan over a whole package made from the input: its blocks
// tiled to 64-256 KiB, the size the tool is told perhaps larger than the file
// (a file that ends early). Whatever the signatures and footers say, the scan
// must end, keep the part table and the name within their room, accept only
// parts in range, and reset the BMC exactly when it refuses.
#include "firmware/validation.h"
#include "fuzz_support.h"
#include "support/loopback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvex;
    if (size < 3) return 0;
    const uint8_t state = data[0] % 4 == 0 ? data[0] / 4 : kUpdateStateReady;
    const size_t fileSize = 0x10000 + (static_cast<size_t>(data[1]) * 0x10000 / 85) / 0x1000 * 0x1000 + data[2] % 16;
    const uint64_t declared = (data[0] & 0x80) != 0 ? fileSize + 0x9000 : fileSize;
    fuzz::SimPlatform sim;
    std::string& package = sim.files.files["package.bin"];
    package.resize(fileSize, '\xFF');
    for (size_t at = 0; size > 3 && at < fileSize; at += size - 3)
        std::memcpy(package.data() + at, data + 3, std::min(size - 3, fileSize - at));

    test::LoopbackTransport transport{sim.machine.bmc};
    BmcLink link{transport, sim.console, sim.machine.stall};
    PackageScanner scanner(sim.console);
    File* file = sim.files.open("package.bin", "rb");
    std::vector<uint8_t> block(kPackageBlockSize);
    const Validation result = runValidationScan(link, *file, declared, state, block.data(), scanner);
    file->close();

    if (scanner.partCount() > kMaxParts || sim.machine.bmc.coldResets() != (result == Validation::Refused ? 1u : 0u))
        std::abort();
    if (scanner.uniqueNameLength() > kUniqueNameMax ||
        !fuzz::terminatedWithin(scanner.uniqueName(), kUniqueNameMax + 1))
        std::abort();
    if (result == Validation::Accepted &&
        (state != kUpdateStateReady || scanner.overfull() || scanner.partCount() == 0))
        std::abort();
    for (size_t i = 0; i < scanner.partCount(); ++i) {
        const Part& p = scanner.part(i);
        if ((p.areaLength < p.length && p.areaLength != 0xFFFFFFFFFFFF0000u) || p.areaLength % kAreaGranule != 0)
            std::abort();
        if (result == Validation::Accepted &&
            (!partInRange(p, declared) || p.startOffset + p.length > declared + kFlashSize + kFooterAreaLength))
            std::abort();
    }
    FooterEntry entry;
    const int fields = scanFooterEntry(reinterpret_cast<const char*>(data), size, &entry);
    if (fields < 0 || fields > 4 || !fuzz::terminatedWithin(entry.name, kPartNameField)) std::abort();
    return 0;
}
