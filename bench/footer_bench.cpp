// What reading a package costs: the footer look at every 32 KiB block of a
// 32 MiB package (1024 AES-128 decipherments of 192 bytes when no block holds
// a plain footer), and the decipherment on its own.
//   build/bench/footer_bench
#include <chrono>
#include <cstdio>
#include <vector>

#include "firmware/aes.h"
#include "firmware/package.h"
#include "transport/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class NullConsole final : public korvex::Console {
public:
    void vprint(const char*, va_list) override {}
    void flush() override {}
    int readChar() override { return -1; }
};

}  // namespace

int main() {
    constexpr size_t kPackage = korvex::kFlashSize;
    std::vector<uint8_t> package(kPackage, 0xFF);
    constexpr int kRounds = 10;
    auto start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        NullConsole console;
        korvex::PackageScanner scanner(console);  // fresh per run, tables built on first use
        for (size_t at = 0; at < kPackage; at += korvex::kPackageBlockSize)
            scanner.find_respective_image_info(package.data() + at, korvex::kPackageBlockSize);
    }
    std::printf("footer look over a 32 MiB package (1024 blocks): %.2f ms\n", secondsSince(start) / kRounds * 1e3);

    korvex::Aes128Decipher aes;
    const uint8_t key[16] = {1, 2, 3}, iv[16] = {4, 5, 6};
    std::vector<uint8_t> data(1 << 20, 0x5A);
    start = Clock::now();
    aes.decryptCbc(key, iv, data.data(), data.data(), data.size());
    std::printf("AES-128-CBC decipherment: %.1f MB/s\n", static_cast<double>(data.size()) / secondsSince(start) / 1e6);
    return 0;
}
