// The update of a 32 MiB package against an instant simulated BMC, in process:
//  1. port accesses per ReceiveFWData exchange against the floor of the KCS
//     protocol (4N+8 for a request of N bytes, 5R+4 for a response of R bytes);
//  2. the real time of the whole update against the real time of replaying
//     the same port accesses straight into a fresh simulated BMC, which is
//     what the machine and the BMC alone cost: the rest is the tool;
//  3. the virtual time at 1 us per port access, a floor for real hardware.
//   build/bench/update_bench [--plain] [--tool-only]
// --plain: the footer in plain text (default enciphered); --tool-only: one
// run of the tool and nothing else, for a profiler.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/main_flow.h"
#include "bench_support.h"
#include "port_recorder.h"
#include "bmc/sim_machine.h"
#include "bmc/update_module.h"
#include "platform/hosted/hosted.h"
#include "transport/kcs.h"

namespace {

using namespace korvex;

using bench::ExchangeTally;
using bench::kDataPort;
using bench::kStatusPort;
using bench::RecordingPorts;

// A simulated server and the tool's run on it; the console prints nothing.
struct Machine {
    bench::NullConsole console;
    hosted::StdioFileSystem files;
    hosted::HeapMemory memory;
    bmc::SimMachine machine{console, files, memory};

    int run(PortIo& ports, const std::string& package) {
        std::string a0 = "korvex", a1 = "-f", a2 = package;
        char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        NeverStop stops;
        const Platform platform{ports, machine.timers, machine.stall, console, files, memory, stops};
        return korvexMain(platform, 3, argv).value;
    }
    uint64_t accesses() const { return machine.ports.reads() + machine.ports.writes(); }
};

// The recorded accesses into a fresh machine, without the tool.
void replay(const std::vector<uint8_t>& ops, Machine& m, bench::Timing* timing) {
    PortIo& ports = m.machine.ports;
    unsigned sink = 0;
    const uint8_t* op = ops.data();
    const uint8_t* end = op + ops.size();
    const bench::Stopwatch watch;
    while (op < end) {
        switch (*op++) {
            case RecordingPorts::kReadStatus:
                sink += ports.in8(kStatusPort);
                break;
            case RecordingPorts::kReadData:
                sink += ports.in8(kDataPort);
                break;
            case RecordingPorts::kWriteCommand:
                ports.out8(kStatusPort, *op++);
                break;
            default:
                ports.out8(kDataPort, *op++);
                break;
        }
    }
    timing->keepBest(watch);
    if (sink == 1) std::puts("");  // keeps the reads
}

}  // namespace

int main(int argc, char** argv) {
    bool enciphered = true, toolOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--plain") == 0) enciphered = false;
        if (std::strcmp(argv[i], "--tool-only") == 0) toolOnly = true;
    }
    bench::ScratchFile package("update.bin");
    const test::PackageBuilder builder = bench::fullFlashPackage(enciphered);
    if (!bench::writeBytes(package.path(), builder.bytes)) {
        std::fprintf(stderr, "cannot write %s\n", package.path().c_str());
        return 1;
    }
    std::printf("update of a 32 MiB package (%s footer), instant simulated BMC, in process\n",
                enciphered ? "enciphered" : "plain");

    // The tool as it runs: nothing between it and the port bus.
    uint64_t accesses = 0, exchanges = 0, virtualUs = 0, stalledUs = 0;
    bench::Timing tool, replayed;
    const auto toolRun = [&]() -> bool {
        Machine m;
        const bench::Stopwatch watch;
        const int result = m.run(m.machine.ports, package.path());
        tool.keepBest(watch);
        accesses = m.accesses();
        exchanges = m.machine.bmc.exchanges();
        virtualUs = m.machine.clock.nowUs();
        stalledUs = virtualUs - accesses;  // the clock moves 1 us per access, the rest is pauses
        return result == 0 && m.machine.bmc.module<bmc::UpdateModule>()->flash() == builder.bytes;
    };
    if (!toolRun()) {
        std::fprintf(stderr, "the update failed or did not fill the flash with the package\n");
        return 1;
    }
    if (toolOnly) {
        std::printf("    one run of the tool: %.3f s, %llu port accesses\n", tool.real,
                    static_cast<unsigned long long>(accesses));
        return 0;
    }

    // The same run once more through the recorder.
    Machine recorded;
    RecordingPorts recorder(recorded.machine.ports, static_cast<size_t>(accesses + accesses / 2));
    recorded.run(recorder, package.path());
    const ExchangeTally fw = recorder.tally(kCmdReceiveFWData);
    const ExchangeTally rest = recorder.allBut(kCmdReceiveFWData);

    // The machine is shared: the tool and the replay take turns, and each
    // keeps its best time.
    for (int round = 0; round < 3; ++round) {
        if (round > 0) toolRun();
        Machine fresh;
        replay(recorder.ops(), fresh, &replayed);
        if (fresh.accesses() != accesses || fresh.machine.bmc.exchanges() != exchanges ||
            fresh.machine.bmc.module<bmc::UpdateModule>()->flash() != builder.bytes) {
            std::fprintf(stderr, "the replay did not do what the tool did\n");
            return 1;
        }
    }

    std::printf("  exchanges %llu (ReceiveFWData %llu), port accesses %llu\n",
                static_cast<unsigned long long>(exchanges), static_cast<unsigned long long>(fw.exchanges),
                static_cast<unsigned long long>(accesses));
    std::printf(
        "[1] port accesses per ReceiveFWData exchange: %.2f, floor %.2f (worst one %llu): ratio %.3f (goal 1.00)\n",
        static_cast<double>(fw.accesses) / static_cast<double>(fw.exchanges),
        static_cast<double>(fw.floor) / static_cast<double>(fw.exchanges), static_cast<unsigned long long>(fw.worst),
        static_cast<double>(fw.accesses) / static_cast<double>(fw.floor));
    std::printf("    all other exchanges: %llu accesses, floor %llu: ratio %.3f\n",
                static_cast<unsigned long long>(rest.accesses), static_cast<unsigned long long>(rest.floor),
                static_cast<double>(rest.accesses) / static_cast<double>(rest.floor));
    std::printf(
        "[2] the whole update against a replay of its %llu port accesses (best of 3 each):\n"
        "    CPU time: tool %.3f s, replay %.3f s: ratio %.2f (goal <= 1.3)\n"
        "    real time: tool %.3f s, replay %.3f s: ratio %.2f\n",
        static_cast<unsigned long long>(accesses), tool.cpu, replayed.cpu, tool.cpu / replayed.cpu, tool.real,
        replayed.real, tool.real / replayed.real);
    const double transferS = static_cast<double>(accesses) / 1e6;
    const double mib = static_cast<double>(bench::k32MiB);
    std::printf(
        "[3] virtual time at 1 us per port access: %.1f s of port accesses (+ %.1f s of progress polls),\n"
        "    %.0f KB/s, against about 3 KB/s (32 MiB in about 3 h) of usual in-band IPMI transfers: %.0f times "
        "faster\n",
        transferS, static_cast<double>(stalledUs) / 1e6, mib / transferS / 1e3, (mib / transferS) / 3e3);
    return 0;
}
