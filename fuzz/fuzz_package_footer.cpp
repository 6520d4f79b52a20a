// The signature and footer reader against arbitrary blocks: plain text,
// enciphered footers, and anything in between.
#include <cstdint>
#include <cstdlib>

#include "firmware/package.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korvex::fuzz::NullConsole console;
    korvex::PackageScanner scanner(console);
    // Twice, so that a name and parts from a first block meet the second.
    for (int pass = 0; pass < 2; ++pass) {
        const int found = scanner.find_respective_image_info(data, size);
        if (found != 0 && found != 1) std::abort();
        if (scanner.partCount() > korvex::kMaxParts) std::abort();
        if (scanner.uniqueNameLength() > korvex::kUniqueNameMax) std::abort();
        if (!korvex::fuzz::terminatedWithin(scanner.uniqueName(), korvex::kUniqueNameMax + 1)) std::abort();
        for (size_t i = 0; i < scanner.partCount(); ++i) {
            const korvex::Part& p = scanner.part(i);
            if (p.areaLength < p.length && p.areaLength != 0xFFFFFFFFFFFF0000u) std::abort();
            if (p.areaLength % korvex::kAreaGranule != 0) std::abort();
        }
    }
    korvex::FooterEntry entry;
    const int fields = korvex::scanFooterEntry(reinterpret_cast<const char*>(data), size, &entry);
    if (fields < 0 || fields > 4) std::abort();
    if (!korvex::fuzz::terminatedWithin(entry.name, korvex::kPartNameField)) std::abort();
    return 0;
}
