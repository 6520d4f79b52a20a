// korvex: the tool on Linux x86-64, talking to the BMC through the kernel's
// IPMI driver (/dev/ipmi0) when it is loaded, else through the KCS registers
// with real port I/O.
//   korvex [--interface=driver|ports] [--force-with-kernel-driver] [--force-ports] [tool arguments]
//   korvex --help | --version
// The tool's text goes to standard output; the exit status is the run's
// outcome (exit_status.h). This front end's own lines go to standard error:
// the way to the BMC, and its refusals (the device node, kcs.cfg or its
// ports, no port access, the kernel's IPMI driver in the way of the ports)
// with status 4; nothing is sent to the BMC then.
// Signals are handled as platform/hosted/signals.h says; a run stopped by
// signal N exits 128 + N.
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/main_flow.h"
#include "exit_status.h"
#include "platform/hosted/hosted.h"
#include "platform/hosted/signals.h"
#include "platform/linux/linux.h"
#include "korvex/interface.h"
#include "korvex/preflight.h"

namespace {

void printHelp() {
    std::printf(
        "korvex %s: updates the BMC's firmware, dumps its flash, and backs up or\n"
        "restores its IPMI configuration, from Linux on the server the BMC sits in.\n"
        "Usage: korvex [FRONT-END OPTION]... TOOL-ARGUMENT...\n"
        "       korvex --help | --version\n"
        "Without tool arguments the tool prints its own usage: the jobs and their\n"
        "arguments (-f, -d, -c, -i, -r). Run as root.\n"
        "\n"
        "Front-end options, before the tool's arguments:\n"
        "  --interface=driver  through the kernel's IPMI driver (/dev/ipmi0)\n"
        "  --interface=ports   through the KCS ports: those of kcs.cfg in the current\n"
        "                      folder, else command/status 0xCA3, data 0xCA2\n"
        "                      (default: the driver when /dev/ipmi0 is there, else ports)\n"
        "  --force-ports       use kcs.cfg's ports although the firmware's tables\n"
        "                      describe the KCS interface elsewhere\n"
        "  --force-with-kernel-driver  use the ports although the kernel's IPMI\n"
        "                      driver is loaded and may be using them\n"
        "  --help, --version   this text; the version\n"
        "The way to the BMC, and any refusal, is reported on standard error; the\n"
        "tool's own text goes to standard output.\n"
        "\n"
        "Exit status:\n"
        "  0      the job succeeded: update complete, file kept, restore done\n"
        "  1      the job failed; a dump or backup file was not written\n"
        "  2      usage only, or a fault in the command line\n"
        "  3      the BMC refused the job\n"
        "  4      not started, nothing sent: the device, kcs.cfg or the ports refused\n"
        "  128+N  stopped by signal N before the job changed the BMC (an update's\n"
        "         transfer and a restore hold INT, TERM, HUP, QUIT and TSTP, and end\n"
        "         with their own status)\n"
        "\n"
        "Example, an update that keeps the BMC's configuration:\n"
        "  korvex -f fw.bin -i kcs -r y; echo \"exit status $?\"\n",
        KORVEX_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
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
        } else if (std::strcmp(argv[first], "--help") == 0) {
            printHelp();
            return korvex::frontend::kExitSucceeded;
        } else if (std::strcmp(argv[first], "--version") == 0) {
            std::printf("korvex %s\n", KORVEX_VERSION);
            return korvex::frontend::kExitSucceeded;
        } else if (std::strcmp(argv[first], "--force-ports") == 0) {
            settings.forcePorts = true;
        } else if (std::strncmp(argv[first], "--interface=", 12) == 0) {
            if (!korvex::linuxhost::parseInterfaceChoice(argv[first] + 12, &settings.interface)) {
                std::fprintf(stderr, "korvex: --interface= takes driver or ports, not \"%s\"\n", argv[first] + 12);
                return korvex::frontend::kExitCommandLine;
            }
        } else {
            break;
        }
    }

    std::vector<char*> toolArgs;
    toolArgs.push_back(argv[0]);
    for (int i = first; i < argc; ++i) toolArgs.push_back(argv[i]);
    toolArgs.push_back(nullptr);
    const int toolArgc = static_cast<int>(toolArgs.size()) - 1;

    using korvex::linuxhost::Route;
    korvex::linuxhost::SystemIpmiCalls ipmiCalls;
    korvex::linuxhost::DriverTransport driver(ipmiCalls, console, stderr);
    const Route route = korvex::linuxhost::chooseRoute(toolArgc, toolArgs.data(), settings, driver, stderr);
    if (route == Route::Refused) return korvex::frontend::kExitNotStarted;
    korvex::JobResult result{};
    if (route == Route::Driver) {
        const korvex::Platform direct{ports, timers, stall, console, stdioFiles, memory, stops};  // kcs.cfg unread
        result = korvex::korvexMain(direct, driver, toolArgc, toolArgs.data());
    } else {
        const auto grant = [&ports](uint16_t port, int* error) { return ports.grant(port, error); };
        if (!korvex::linuxhost::preflight(files, grant, toolArgc, toolArgs.data(), settings, stderr))
            return korvex::frontend::kExitNotStarted;
        result = korvex::korvexMain(platform, toolArgc, toolArgs.data());
    }
    std::fflush(stdout);
    return korvex::frontend::exitStatus(result.outcome, korvex::hosted::SignalStops::stopSignal());
}
