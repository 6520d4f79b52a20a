// Peak resident memory of korvex-sim (the tool and the simulated BMC, whose
// 32 MiB flash every run holds alike) for the KCS update of a 32 MiB and of a
// 512 MiB package that send the same parts: the difference is what the tool's
// memory grows with the package. The USB path holds the whole 32 MiB package.
//   build/bench/memory_bench [path/to/korvex-sim]
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using namespace korvex;

// Runs korvex-sim with these arguments, its output into a file; the child's
// peak resident set in KiB, or -1.
long peakKiB(const std::string& sim, const std::vector<std::string>& args, const std::string& output, int* status) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(out, 1);
        std::vector<char*> argv;
        std::string arg0 = sim;
        argv.push_back(arg0.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(sim.c_str(), argv.data());
        _exit(127);
    }
    struct rusage usage = {};
    if (wait4(child, status, 0, &usage) != child) return -1;
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string sim = argc > 1 ? argv[1] : KORVEX_SIM_BINARY;
    // The same parts in both packages, all inside the 32 MiB flash: a 1 MiB
    // image at 0 and the footer at 16 MiB; the 512 MiB package is the 32 MiB
    // one with 480 MiB of zeros behind it (a sparse file).
    bench::ScratchFile small("mem32.bin"), large("mem512.bin");
    {
        test::PackageBuilder b(bench::k32MiB);
        b.part("image.bin", 0, test::patternBytes(0x100000, 5));
        b.encipheredFooterAt(0x1000000);
        if (!bench::writeBytes(small.path(), b.bytes) || !bench::writeBytes(large.path(), b.bytes) ||
            truncate(large.path().c_str(), 0x20000000) != 0) {
            std::fprintf(stderr, "cannot write the packages\n");
            return 1;
        }
    }
    // A child's peak counts what it held before exec too, which is this
    // process's memory: the package bytes must be gone before the first fork.
    malloc_trim(0);

    struct Run {
        const char* name;
        std::vector<std::string> args;
        const char* lastWords;  // how the tool's text ends when the run went as planned
        int exitStatus;         // and its status: 2 usage only, 1 the USB path, which never updates
        long kib = 0;
    };
    Run runs[] = {
        {"no job (banner only)", {"--"}, "\n", 2},
        {"KCS update, 32 MiB package", {"--", "-f", small.path()}, "about 1 min                       \n", 0},
        {"KCS update, 512 MiB package", {"--", "-f", large.path()}, "about 1 min                       \n", 0},
        {"USB path, 32 MiB package", {"--", "-f", small.path(), "-i", "usb"}, "FWUpdate fail\n", 1},
    };
    bench::ScratchFile output("mem-output.txt");
    std::printf(
        "peak resident memory of korvex-sim (the simulated BMC's 32 MiB flash comes in with the first\n"
        "request that reaches it: in both KCS updates, not in the USB path, which sends none)\n");
    for (Run& r : runs) {
        int status = 0;
        r.kib = peakKiB(sim, r.args, output.path(), &status);
        std::string text;
        if (FILE* f = std::fopen(output.path().c_str(), "rb")) {
            char chunk[4096];
            for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
            std::fclose(f);
        }
        const std::string end = r.lastWords;
        const bool finished = text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
        if (r.kib < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != r.exitStatus || !finished) {
            std::fprintf(stderr, "%s: korvex-sim did not run (%s)\n", r.name, sim.c_str());
            return 1;
        }
        std::printf("    %-30s %8ld KiB\n", r.name, r.kib);
    }
    const long growth = runs[2].kib - runs[1].kib;
    std::printf("[5] KCS update, 512 MiB package against 32 MiB: %+ld KiB (goal: under 1024 KiB)\n", growth);
    std::printf("    USB path against no job: %+ld KiB (its one 32 MiB buffer: 32768 KiB)\n",
                runs[3].kib - runs[0].kib);
    return 0;
}
