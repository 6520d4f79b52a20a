// The flash dump against a BMC whose every answer comes from the input. The
// run must end, hold nothing open, leave no temporary, and write only the
// data of the latest answer, that answer successful, never twice; a dump
// file is there only after a success, and is then exactly the pieces the
// tool accepted.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware/dump.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvex;
    fuzz::InputReader input(data, size);
    const uint8_t setup = input.byte();

    fuzz::SimPlatform sim;
    test::MemFs& files = sim.files;
    fuzz::ScriptedBmc bmc(input, fuzz::kMaxExchanges);
    if ((setup & 1) != 0) files.failWritesAfter = static_cast<size_t>(input.byte()) * 8;

    std::string accepted;
    size_t writtenSerial = 0;
    files.onWrite = [&](const uint8_t* bytes, size_t count) {
        if (bmc.lastResult != 0) std::abort();                // from a failed exchange
        if (bmc.answerSerial == writtenSerial) std::abort();  // the same answer twice
        if (bmc.answerLength < 1 || count != static_cast<size_t>(bmc.answerLength - 1)) std::abort();
        if (std::memcmp(bytes, bmc.answer + 1, count) != 0) std::abort();
        writtenSerial = bmc.answerSerial;
        if (accepted.size() + count <= files.failWritesAfter)
            accepted.append(reinterpret_cast<const char*>(bytes), count);
    };
    bmc.onRequest = [&](uint8_t, uint8_t, const uint8_t*, int32_t) {
        if (sim.clock.nowUs() / 1000000 > fuzz::kMaxVirtualSeconds) std::abort();
    };

    const JobResult result = runFlashDump(sim.platform(), bmc, "dump.bin");
    if (result.value != 1) std::abort();

    if (files.openNow != 0 || sim.memory.outstanding() != 0) std::abort();
    const auto it = files.files.find("dump.bin");
    if ((it != files.files.end()) != (result.outcome == JobOutcome::Succeeded)) std::abort();
    if (it != files.files.end() && it->second != accepted) std::abort();
    if (files.files.size() > 1) std::abort();  // a temporary left behind
    return 0;
}
