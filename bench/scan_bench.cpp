// The validation scan over a 32 MiB package (the footer look at every 32 KiB
// block: signature search, plain footer search, and one AES-128 decipherment
// of 192 bytes where no plain footer stands) against a plain read of the same
// file through the same stream, 32 KiB at a time. The file is in the page
// cache after the first round, so the read is the cheapest it can be.
//   build/bench/scan_bench
#include <algorithm>
#include <string>
#include <vector>

#include "bench_support.h"
#include "firmware/validation.h"
#include "platform/hosted/hosted.h"

namespace {

using namespace korvex;

// The scan asks the BMC nothing when the package passes; a refusal would.
class NoBmc final : public Transport {
public:
    int open() override { return 0; }
    int close() override { return 0; }
    ExchangeResult exchange(uint8_t, uint8_t, const uint8_t*, int32_t, uint8_t*) override {
        ++calls;
        return ExchangeResult::writeFailure();
    }
    int calls = 0;
};

class NoStall final : public Stall {
public:
    void stall(uint64_t) override {}
};

void plainRead(FileSystem& files, const std::string& path, uint8_t* buffer, bench::Timing* timing) {
    const bench::Stopwatch watch;
    File* file = files.open(path.c_str(), "rb");
    file->seek(0, SeekFrom::End);
    const auto size = static_cast<uint64_t>(file->tell());
    file->seek(0, SeekFrom::Start);
    uint64_t total = 0;
    for (uint64_t at = 0; at < size; at += kPackageBlockSize) total += file->read(buffer, kPackageBlockSize);
    file->close();
    timing->keepBest(watch);
    if (total != size) std::fprintf(stderr, "short read\n");
}

void scan(FileSystem& files, const std::string& path, uint8_t* buffer, int* parts, bench::Timing* timing) {
    bench::NullConsole console;
    NoBmc bmc;
    NoStall stall;
    BmcLink link{bmc, console, stall};
    const bench::Stopwatch watch;
    File* file = files.open(path.c_str(), "rb");
    file->seek(0, SeekFrom::End);
    const auto size = static_cast<uint64_t>(file->tell());
    file->seek(0, SeekFrom::Start);
    PackageScanner scanner(console);
    const Validation v = runValidationScan(link, *file, size, kUpdateStateReady, buffer, scanner);
    file->close();
    timing->keepBest(watch);
    *parts = v == Validation::Accepted && bmc.calls == 0 ? scanner.partCount() : -1;
}

}  // namespace

int main() {
    hosted::StdioFileSystem files;
    std::vector<uint8_t> buffer(kPackageBlockSize);
    struct Case {
        const char* name;
        bool enciphered;
        bool erased;  // all 0xFF but the footer: every block is one long text
    };
    const Case cases[] = {
        {"firmware-like bytes, plain footer", false, false},
        {"firmware-like bytes, enciphered footer", true, false},
        {"erased (0xFF) package, plain footer", false, true},
        {"erased (0xFF) package, enciphered footer", true, true},
    };
    std::printf("validation scan of a 32 MiB package against a plain read of it (best of 40 each)\n");
    for (const Case& c : cases) {
        bench::ScratchFile package("scan.bin");
        test::PackageBuilder b = c.erased ? test::PackageBuilder(bench::k32MiB) : bench::fullFlashPackage(c.enciphered);
        if (c.erased) {
            b.footer = test::entryLine(0, 0x100000, "image.bin");
            if (c.enciphered)
                b.encipheredFooterAt(bench::kFooterBlock);
            else
                b.plainFooter(bench::kFooterBlock);
        }
        if (!bench::writeBytes(package.path(), b.bytes)) return 1;
        bench::Timing read, scanned;
        int parts = 0;
        for (int round = 0; round < 40; ++round) {
            plainRead(files, package.path(), buffer.data(), &read);
            scan(files, package.path(), buffer.data(), &parts, &scanned);
        }
        if (parts != 2) {
            std::fprintf(stderr, "%s: the scan did not accept the package\n", c.name);
            return 1;
        }
        std::printf("[4] %-40s CPU: scan %5.2f ms, read %5.2f ms: ratio %.2f (goal <= 1.2); real: ratio %.2f\n", c.name,
                    scanned.cpu * 1e3, read.cpu * 1e3, scanned.cpu / read.cpu, scanned.real / read.real);
    }
    return 0;
}
