// The flash dump and the configuration backup and restore against a BMC whose
// every answer comes from the input; its first byte picks the job. Whatever
// the BMC answers, the run must end within a day of virtual time, hold
// nothing open, leave its file only after a success and never a temporary,
// and write only the data of the latest answer, that answer successful, never
// twice, a backup's blocks each numbered one past the one before: the file is
// exactly what was written. A restore sends the file's bytes in order.
#include <set>

#include "config/config_flow.h"
#include "firmware/dump.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvex;
    fuzz::InputReader input(data, size);
    const bool dump = input.byte() % 2 == 0;
    const uint8_t mode = input.byte();
    const bool restore = !dump && (mode & 1) != 0;
    fuzz::SimPlatform sim;
    test::MemFs& files = sim.files;
    fuzz::ScriptedBmc bmc(input);
    std::string restored;
    if (restore) {
        restored.resize((input.byte() | input.byte() << 8) % 2048);
        restored.resize(input.take(reinterpret_cast<uint8_t*>(restored.data()), restored.size()));
        files.files["restore.bin"] = restored;
    } else if ((mode & (dump ? 1 : 2)) != 0) {
        files.failWritesAfter = static_cast<size_t>(input.byte()) * (dump ? 8 : 1);
    }

    const int32_t skip = dump ? 1 : 4;  // the answer's bytes before the data
    std::string written;
    size_t writtenSerial = 0;
    uint32_t writtenNumber = 0;
    files.onWrite = [&](const uint8_t* bytes, size_t count) {
        if (restore || bmc.lastResult != 0 || bmc.answerSerial == writtenSerial) std::abort();
        if (bmc.answerLength < (dump ? 1 : 5) || count != static_cast<size_t>(bmc.answerLength - skip) ||
            std::memcmp(bytes, bmc.answer + skip, count) != 0)
            std::abort();
        const uint32_t number = static_cast<uint32_t>(bmc.answer[1] | bmc.answer[2] << 8 | bmc.answer[3] << 16);
        if (!dump && writtenSerial != 0 && number != ((writtenNumber + 1) & 0xFFFFFF)) std::abort();
        writtenSerial = bmc.answerSerial;
        writtenNumber = number;
        if (written.size() + count <= files.failWritesAfter)
            written.append(reinterpret_cast<const char*>(bytes), count);
    };
    // The data of block requests walk the file front to back; a request sent
    // again repeats its bytes. A repeat and a next block with the same bytes
    // look alike, so every position either could reach is kept.
    std::set<size_t> sentUpTo{0};
    std::string previous;
    bmc.onRequest = [&](uint8_t, uint8_t, const uint8_t* request, int32_t length) {
        if (sim.machine.clock.nowUs() / 1000000 > 24 * 3600) std::abort();
        if (!restore || length <= 4 || (request[0] & 0x0F) != 3) return;
        const std::string bytes(reinterpret_cast<const char*>(request), static_cast<size_t>(length));
        std::set<size_t> next;
        if (bytes == previous) next = sentUpTo;
        for (const size_t at : sentUpTo)
            if (restored.compare(at, bytes.size() - 4, bytes, 4) == 0 && at + bytes.size() - 4 <= restored.size())
                next.insert(at + bytes.size() - 4);
        if (next.empty()) std::abort();
        sentUpTo = next;
        previous = bytes;
    };

    const char* name = dump ? "dump.bin" : restore ? "restore.bin" : "backup.bin";
    const JobResult result =
        dump ? runFlashDump(sim.machine.platform(), bmc, name)
             : runConfigFlow(sim.machine.platform(), bmc, restore ? name : nullptr, restore ? nullptr : name);
    if ((dump && result.value != 1) || files.openNow != 0 || sim.memory.outstanding() != 0) std::abort();
    const auto file = files.files.find(name);
    if (files.files.size() > 1 || (restore && file == files.files.end())) std::abort();
    if (!restore && ((file != files.files.end()) != (result.outcome == JobOutcome::Succeeded) ||
                     (file != files.files.end() && file->second != written)))
        std::abort();
    return 0;
}
