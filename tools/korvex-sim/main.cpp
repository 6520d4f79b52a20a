// korvex-sim: the tool against a simulated BMC on a simulated machine.
//   korvex-sim [--bmc-...]... [--stats] [--] [tool arguments]
// The tool's text goes to standard output; this front end's own to standard
// error. The exit status is the run's outcome, as korvex's (exit_status.h).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/main_flow.h"
#include "bmc/knobs.h"
#include "bmc/sim_machine.h"
#include "exit_status.h"
#include "platform/hosted/hosted.h"

namespace {

void printHelp() {
    std::printf(
        "korvex-sim: the korvex tool against a simulated BMC on a simulated machine.\n"
        "Usage: korvex-sim [FRONT-END OPTION]... [--] [TOOL ARGUMENT]...\n"
        "The machine's clock advances 1 us per port access, so the tool's waits cost no\n"
        "real time. What follows the front-end options (or --) is the tool's command\n"
        "line. The tool's text goes to standard output, this program's own to standard\n"
        "error.\n"
        "\n"
        "Front-end options:\n"
        "  --help                    this text\n"
        "  --help-faults             every fault of --bmc-fault, with its arguments\n"
        "  --version                 the package's version\n"
        "  --stats                   when the run ends, print to standard error:\n"
        "                            exchanges, port reads, port writes, virtual time\n"
        "\n"
        "The simulated BMC:\n"
        "%s"
        "\n"
        "Exit status: 0 the job succeeded; 1 it failed, or the BMC's state could not be\n"
        "saved afterwards; 2 usage only, or a command-line or front-end option fault;\n"
        "3 the BMC refused the job.\n"
        "\n"
        "Example, an update whose third ReceiveFWData exchange breaks:\n"
        "  korvex-sim --bmc-fault=update-drop:receive-fw-data:3 -- -f fw.bin -i kcs -r y\n",
        korvex::bmc::knobHelp(true).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    korvex::hosted::StdioConsole console;
    korvex::hosted::StdioFileSystem files;
    korvex::hosted::HeapMemory memory;
    korvex::bmc::SimMachine machine(console, files, memory);

    bool stats = false;
    int first = 1;
    for (; first < argc; ++first) {
        const char* arg = argv[first];
        if (std::strcmp(arg, "--") == 0) {
            ++first;
            break;
        }
        if (std::strcmp(arg, "--help") == 0 && first == 1) {
            printHelp();
            return 0;
        }
        if (std::strcmp(arg, "--help-faults") == 0 && first == 1) {
            std::fputs(korvex::bmc::faultHelp(true).c_str(), stdout);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0 && first == 1) {
            std::printf("korvex-sim %s\n", KORVEX_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--stats") == 0) {
            stats = true;
            continue;
        }
        if (std::strncmp(arg, "--bmc-", 6) != 0) break;
        std::string error;
        if (!machine.applyOption(arg, &error)) {
            std::fprintf(stderr, "korvex-sim: %s\n", error.c_str());
            return korvex::frontend::kExitCommandLine;
        }
    }

    std::vector<char*> toolArgs;
    toolArgs.push_back(argv[0]);
    for (int i = first; i < argc; ++i) toolArgs.push_back(argv[i]);
    toolArgs.push_back(nullptr);

    const korvex::JobResult result =
        korvex::korvexMain(machine.platform(), static_cast<int>(toolArgs.size()) - 1, toolArgs.data());
    std::fflush(stdout);

    std::string error;
    int status = korvex::frontend::exitStatus(result.outcome);
    if (!machine.finish(&error)) {
        std::fprintf(stderr, "korvex-sim: %s\n", error.c_str());
        status = korvex::frontend::kExitFailed;  // the tool's run is over; only saving the BMC's state failed
    }
    if (stats) std::fputs(machine.stats().c_str(), stderr);
    return status;
}
