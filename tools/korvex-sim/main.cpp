// korvex-sim: the tool against a simulated BMC on a simulated machine.
//   korvex-sim [--bmc-...]... [--stats] [--raise-signal=NAME:N]... [--] [tool arguments]
// The tool's text goes to standard output; this front end's own to standard
// error. The exit status is the run's outcome, as korvex's (exit_status.h).
// Signals are handled as korvex handles them (platform/hosted/signals.h).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/main_flow.h"
#include "bmc/knobs.h"
#include "bmc/sim_machine.h"
#include "exit_status.h"
#include "platform/hosted/hosted.h"
#include "platform/hosted/number.h"
#include "platform/hosted/signals.h"

namespace {

// A signal this process sends itself while the simulated BMC takes a given
// request: a Ctrl-C or a hang-up at a point of the job that a test can name.
struct RaisedSignal {
    int signal;
    uint64_t request;
};

bool parseRaisedSignal(std::string_view value, RaisedSignal* out) {
    static const struct {
        const char* name;
        int signal;
    } kNames[] = {{"INT", SIGINT},   {"TERM", SIGTERM}, {"HUP", SIGHUP},
                  {"QUIT", SIGQUIT}, {"TSTP", SIGTSTP}, {"PIPE", SIGPIPE}};
    const size_t colon = value.find(':');
    uint64_t request = 0;
    if (colon == std::string_view::npos || !korvex::hosted::parseNumber(value.substr(colon + 1), &request) ||
        request == 0)
        return false;
    for (const auto& n : kNames)
        if (value.substr(0, colon) == n.name) {
            *out = RaisedSignal{n.signal, request};
            return true;
        }
    return false;
}

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
        "  --raise-signal=NAME:N     send this process signal NAME (INT, TERM, HUP, QUIT,\n"
        "                            TSTP, PIPE) while the BMC takes its N-th request\n"
        "\n"
        "The simulated BMC:\n"
        "%s"
        "\n"
        "Exit status: 0 the job succeeded; 1 it failed, or the BMC's state could not be\n"
        "saved afterwards; 2 usage only, or a command-line or front-end option fault;\n"
        "3 the BMC refused the job; 128+N stopped by signal N before the job changed the\n"
        "BMC (an update's transfer and a restore hold the signal and end as they end).\n"
        "\n"
        "Example, an update whose third ReceiveFWData exchange breaks:\n"
        "  korvex-sim --bmc-fault=update-drop:receive-fw-data:3 -- -f fw.bin -i kcs -r y\n",
        korvex::bmc::knobHelp(true).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    korvex::hosted::SignalStops stops("korvex-sim");
    korvex::hosted::StdioConsole console;
    console.waitInputWith(&korvex::hosted::SignalStops::awaitInput);
    korvex::hosted::StdioFileSystem files;
    korvex::hosted::HeapMemory memory;
    korvex::bmc::SimMachine machine(console, files, memory);
    machine.setStops(stops);

    bool stats = false;
    std::vector<RaisedSignal> raised;
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
        if (std::strncmp(arg, "--raise-signal=", 15) == 0) {
            RaisedSignal r{};
            if (!parseRaisedSignal(arg + 15, &r)) {
                std::fprintf(stderr,
                             "korvex-sim: %s: --raise-signal wants NAME:N, NAME one of INT TERM HUP QUIT TSTP "
                             "PIPE and N from 1, e.g. --raise-signal=INT:100\n",
                             arg);
                return korvex::frontend::kExitCommandLine;
            }
            raised.push_back(r);
            continue;
        }
        if (std::strncmp(arg, "--bmc-", 6) != 0) break;
        std::string error;
        if (!machine.applyOption(arg, &error)) {
            std::fprintf(stderr, "korvex-sim: %s\n", error.c_str());
            return korvex::frontend::kExitCommandLine;
        }
    }

    if (!raised.empty())
        machine.bmc.onRequest([&raised, &machine](const korvex::bmc::Request&) {
            for (const RaisedSignal& r : raised)
                if (r.request == machine.bmc.exchanges()) std::raise(r.signal);
        });

    std::vector<char*> toolArgs;
    toolArgs.push_back(argv[0]);
    for (int i = first; i < argc; ++i) toolArgs.push_back(argv[i]);
    toolArgs.push_back(nullptr);

    const korvex::JobResult result =
        korvex::korvexMain(machine.platform(), static_cast<int>(toolArgs.size()) - 1, toolArgs.data());
    std::fflush(stdout);

    std::string error;
    int status = korvex::frontend::exitStatus(result.outcome, korvex::hosted::SignalStops::stopSignal());
    if (!machine.finish(&error)) {
        std::fprintf(stderr, "korvex-sim: %s\n", error.c_str());
        status = korvex::frontend::kExitFailed;  // the tool's run is over; only saving the BMC's state failed
    }
    if (stats) std::fputs(machine.stats().c_str(), stderr);
    return status;
}
