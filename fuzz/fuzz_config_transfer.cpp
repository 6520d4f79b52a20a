// The configuration backup and restore against a BMC whose every answer comes
// from the input. Whatever it answers, the run must end, hold nothing open,
// leave a backup file only after a success and no temporary ever, and put
// into the backup only the data bytes of blocks the tool accepted:
// each written exactly as the latest answer carried it, that answer
// successful, never twice, numbered one past the block written before.
// A restore must send the file's bytes in order.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "config/config_flow.h"
#include "fuzz_support.h"

namespace {

uint32_t numberOf(const uint8_t* bytes) { return static_cast<uint32_t>(bytes[1] | bytes[2] << 8 | bytes[3] << 16); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvex;
    fuzz::InputReader input(data, size);
    const uint8_t mode = input.byte();
    const bool restore = (mode & 1) != 0;

    fuzz::SimPlatform sim;
    test::MemFs& files = sim.files;
    fuzz::ScriptedBmc bmc(input, fuzz::kMaxExchanges);

    std::string restored;
    if (restore) {
        const size_t length = (input.byte() | input.byte() << 8) % 2048;
        restored.resize(length);
        restored.resize(input.take(reinterpret_cast<uint8_t*>(restored.data()), length));
        files.files["restore.bin"] = restored;
    } else if ((mode & 2) != 0) {
        files.failWritesAfter = input.byte();
    }

    // Backup: where the bytes of every write come from.
    size_t writtenSerial = 0;
    bool anyWritten = false;
    uint32_t writtenNumber = 0;
    files.onWrite = [&](const uint8_t* bytes, size_t count) {
        if (restore) std::abort();
        if (bmc.lastResult != 0) std::abort();                // from a failed exchange
        if (bmc.answerSerial == writtenSerial) std::abort();  // the same answer twice
        if (bmc.answerLength < 5 || count != static_cast<size_t>(bmc.answerLength - 4)) std::abort();
        if (std::memcmp(bytes, bmc.answer + 4, count) != 0) std::abort();
        const uint32_t number = numberOf(bmc.answer);
        if (anyWritten && number != ((writtenNumber + 1) & 0xFFFFFF)) std::abort();
        writtenSerial = bmc.answerSerial;
        writtenNumber = number;
        anyWritten = true;
    };

    // Restore: the data of block requests walk the file front to back; a
    // request sent again repeats its bytes. A repeat and a next block with
    // the same bytes look alike, so every position either could reach is kept.
    std::set<size_t> sentUpTo{0};
    std::string previousRequest;
    bmc.onRequest = [&](uint8_t, uint8_t, const uint8_t* request, int32_t length) {
        if (sim.clock.nowUs() / 1000000 > fuzz::kMaxVirtualSeconds) std::abort();
        if (!restore || length <= 4 || (request[0] & 0x0F) != 3) return;
        const std::string bytes(reinterpret_cast<const char*>(request), static_cast<size_t>(length));
        const size_t n = static_cast<size_t>(length - 4);
        std::set<size_t> next;
        if (bytes == previousRequest) next = sentUpTo;
        for (const size_t at : sentUpTo)
            if (at + n <= restored.size() && restored.compare(at, n, bytes.substr(4)) == 0) next.insert(at + n);
        if (next.empty()) std::abort();
        sentUpTo = next;
        previousRequest = bytes;
    };

    const JobResult result =
        runConfigFlow(sim.platform(), bmc, restore ? "restore.bin" : nullptr, restore ? nullptr : "backup.bin");

    if (files.openNow != 0 || sim.memory.outstanding() != 0) std::abort();
    if (files.files.size() != 1 && !(files.files.empty() && !restore)) std::abort();  // restore.bin or backup.bin
    if (!restore && (files.files.count("backup.bin") != 0) != (result.outcome == JobOutcome::Succeeded)) std::abort();
    if (!restore && !anyWritten && files.files.count("backup.bin") != 0 && !files.files["backup.bin"].empty())
        std::abort();
    return 0;
}
