// The validation scan over a whole package file made from the input: its
// blocks tiled to 64-256 KiB, the size the tool is told perhaps larger than
// the file (a file that ends early). Whatever the footers say, the scan must
// end, keep the part table within its slots, accept only parts in range, and
// reset the BMC exactly when it refuses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware/validation.h"
#include "fuzz_support.h"
#include "support/memfs.h"

namespace {

class ResetCounter final : public korvex::Transport {
public:
    int open() override { return 0; }
    int close() override { return 0; }
    korvex::ExchangeResult exchange(uint8_t netFnLun, uint8_t command, const uint8_t*, int32_t, uint8_t*) override {
        if (netFnLun == korvex::kNetFnLunApp && command == korvex::kCmdColdReset) ++resets;
        return korvex::ExchangeResult::answer(0, 0);
    }
    int resets = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvex;
    if (size < 3) return 0;
    const uint8_t state = data[0] % 4 == 0 ? data[0] / 4 : kUpdateStateReady;
    const size_t fileSize = 0x10000 + (static_cast<size_t>(data[1]) * 0x10000 / 85) / 0x1000 * 0x1000 + data[2] % 16;
    const uint64_t declared = (data[0] & 0x80) != 0 ? fileSize + 0x9000 : fileSize;
    const uint8_t* tile = data + 3;
    const size_t tileSize = size - 3;

    fuzz::SimPlatform sim;
    test::MemFs& files = sim.files;
    std::string& package = files.files["package.bin"];
    package.resize(fileSize, '\xFF');
    for (size_t at = 0; tileSize > 0 && at < fileSize; at += tileSize)
        std::memcpy(package.data() + at, tile, std::min(tileSize, fileSize - at));

    ResetCounter bmc;
    BmcLink link{bmc, sim.console, sim.stall};
    PackageScanner scanner(sim.console);
    File* file = files.open("package.bin", "rb");
    auto* block = static_cast<uint8_t*>(std::malloc(kPackageBlockSize));
    const Validation result = runValidationScan(link, *file, declared, state, block, scanner);
    std::free(block);
    file->close();

    if (scanner.partCount() > kMaxParts) std::abort();
    if (bmc.resets != (result == Validation::Refused ? 1 : 0)) std::abort();
    if (result == Validation::Accepted) {
        if (state != kUpdateStateReady || scanner.overfull() || scanner.partCount() == 0) std::abort();
        for (size_t i = 0; i < scanner.partCount(); ++i) {
            const Part& p = scanner.part(i);
            if (!partInRange(p, declared)) std::abort();
            if (p.startOffset + p.length > declared + kFlashSize + kFooterAreaLength) std::abort();
        }
    }
    return 0;
}
