// korvex: the tool on Linux x86-64, talking to the BMC through the KCS
// registers with real port I/O.
//   korvex [--force-with-kernel-driver] [--force-ports] [tool arguments]
//   korvex --version
// The tool's text goes to standard output; the exit status is the run's
// outcome (exit_status.h). This front end's own refusals (kcs.cfg or its
// ports, no port access, the kernel's IPMI driver in the way) go to standard
// error with status 4; nothing is sent to the BMC then. Signals are handled
// as platform/hosted/signals.h says; a run stopped by signal N exits 128 + N.
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/main_flow.h"
#include "exit_status.h"
#include "platform/hosted/hosted.h"
#include "platform/hosted/signals.h"
#include "platform/linux/linux.h"
#include "korvex/preflight.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("korvex %s\n", KORVEX_VERSION);
        return 0;
    }

    // First, so that a signal from here on is a stop request, not the end.
    korvex::hosted::SignalStops stops("korvex");
    korvex::linuxhost::LinuxPortIo ports;
    korvex::linuxhost::MonotonicTimers timers;
    korvex::linuxhost::SleepStall stall;
    korvex::hosted::StdioConsole console;
    console.waitInputWith(&korvex::hosted::SignalStops::awaitInput);
    korvex::hosted::StdioFileSystem stdioFiles;
    korvex::linuxhost::CheckedKcsCfg files(stdioFiles);  // the run reads the kcs.cfg that was checked
    korvex::hosted::HeapMemory memory;
    const korvex::Platform platform{ports, timers, stall, console, files, memory, stops};

    korvex::linuxhost::PreflightSettings settings;
    int first = 1;
    for (; first < argc; ++first) {
        if (std::strcmp(argv[first], "--force-with-kernel-driver") == 0) {
            settings.allowKernelDriver = true;
        } else if (std::strcmp(argv[first], "--force-ports") == 0) {
            settings.forcePorts = true;
        } else {
            break;
        }
    }

    std::vector<char*> toolArgs;
    toolArgs.push_back(argv[0]);
    for (int i = first; i < argc; ++i) toolArgs.push_back(argv[i]);
    toolArgs.push_back(nullptr);
    const int toolArgc = static_cast<int>(toolArgs.size()) - 1;

    const auto grant = [&ports](uint16_t port, int* error) { return ports.grant(port, error); };
    if (!korvex::linuxhost::preflight(files, grant, toolArgc, toolArgs.data(), settings, stderr))
        return korvex::frontend::kExitNotStarted;

    const korvex::JobResult result = korvex::korvexMain(platform, toolArgc, toolArgs.data());
    std::fflush(stdout);
    return korvex::frontend::exitStatus(result.outcome, korvex::hosted::SignalStops::stopSignal());
}
