// The dump of the 32 MiB flash and a configuration backup and restore of
// 64 KiB against an instant simulated BMC, in process: port accesses per
// byte moved, and per exchange against the floor of the KCS protocol (4N+8
// for a request of N bytes, 5R+4 for a response of R bytes).
//   build/bench/jobs_bench
#include <string>
#include <vector>

#include "app/main_flow.h"
#include "bench_support.h"
#include "bmc/sim_machine.h"
#include "platform/hosted/hosted.h"
#include "port_recorder.h"

namespace {

using namespace korvex;
using bench::ExchangeTally;
using bench::RecordingPorts;

struct Outcome {
    bool ran = false;
    ExchangeTally data;    // the requests that move the bytes
    ExchangeTally others;  // everything else of the job
    uint64_t virtualUs = 0;
};

// One run of the tool with these simulator options and arguments.
Outcome runJob(const std::vector<std::string>& bmcOptions, std::vector<std::string> args, unsigned dataKey) {
    Outcome outcome;
    bench::NullConsole console;
    hosted::StdioFileSystem files;
    hosted::HeapMemory memory;
    bmc::SimMachine machine(console, files, memory);
    for (const std::string& o : bmcOptions) {
        std::string error;
        if (!machine.applyOption(o, &error)) {
            std::printf("    (%s)\n", error.c_str());
            return outcome;
        }
    }
    RecordingPorts recorder(machine.ports);
    args.insert(args.begin(), "korvex");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    NeverStop stops;
    const Platform platform{recorder, machine.timers, machine.stall, console, files, memory, stops};
    static_cast<void>(korvexMain(platform, static_cast<int>(args.size()), argv.data()));
    std::string error;
    if (!machine.finish(&error)) {
        std::printf("    (%s)\n", error.c_str());
        return outcome;
    }
    outcome.ran = true;
    outcome.data = recorder.tally(dataKey);
    outcome.others = recorder.allBut(dataKey);
    outcome.virtualUs = machine.clock.nowUs();
    return outcome;
}

uint64_t fileSize(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

bool sameBytes(const std::string& a, const std::string& b) {
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    while (same) {
        const int ca = std::fgetc(fa), cb = std::fgetc(fb);
        if (ca != cb) same = false;
        if (ca == EOF || cb == EOF) break;
    }
    if (fa != nullptr) std::fclose(fa);
    if (fb != nullptr) std::fclose(fb);
    return same;
}

void report(const char* name, const Outcome& o, uint64_t bytes) {
    ExchangeTally all = o.data;
    all.add(o.others);
    std::printf("[6] %-18s %7llu bytes: %.2f port accesses per byte, floor %.2f: ratio %.3f (goal 1.00)\n", name,
                static_cast<unsigned long long>(bytes), static_cast<double>(all.accesses) / static_cast<double>(bytes),
                static_cast<double>(all.floor) / static_cast<double>(bytes), all.ratio());
    std::printf("    its %llu data exchanges: %.2f accesses each, floor %.2f (worst one %llu); %.1f s virtual in all\n",
                static_cast<unsigned long long>(o.data.exchanges), o.data.perExchange(), o.data.floorPerExchange(),
                static_cast<unsigned long long>(o.data.worst), static_cast<double>(o.virtualUs) / 1e6);
}

}  // namespace

int main() {
    bench::ScratchFile flash("flash.bin"), dump("dump.bin"), config("config.bin"), backup("backup.bin"),
        restored("restored.bin");
    std::printf("dump and configuration transfer against an instant simulated BMC, in process\n");

    if (!bench::writeBytes(flash.path(), test::patternBytes(bench::k32MiB, 8))) return 1;
    const Outcome d = runJob({"--bmc-flash=" + flash.path()}, {"-d", dump.path()}, kCmdGetDumpFlashData);
    if (d.ran) {
        if (!sameBytes(flash.path(), dump.path())) std::printf("    (the dump does not hold the flash)\n");
        report("flash dump", d, fileSize(dump.path()));
    }

    if (!bench::writeBytes(config.path(), test::patternBytes(0x10000, 9))) return 1;
    const Outcome b =
        runJob({"--bmc-config=" + config.path()}, {"-c", "-d", backup.path()}, RecordingPorts::kConfigBlock);
    if (b.ran) {
        if (!sameBytes(config.path(), backup.path())) std::printf("    (the backup does not hold the configuration)\n");
        report("config backup", b, fileSize(backup.path()));
    }
    const Outcome r =
        runJob({"--bmc-save-config=" + restored.path()}, {"-c", "-f", config.path()}, RecordingPorts::kConfigBlock);
    if (r.ran) {
        if (!sameBytes(config.path(), restored.path())) std::printf("    (the BMC did not get the configuration)\n");
        report("config restore", r, fileSize(config.path()));
    }
    return 0;
}
