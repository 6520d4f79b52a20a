// The main routine end to end: in process against the simulated machine, and
// as korvex-sim, whose exit status, signals and saved BMC state a user meets.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

std::string replaced(std::string s, const std::vector<std::pair<std::string, std::string>>& tokens) {
    for (const auto& [token, value] : tokens)
        for (size_t at = s.find(token); at != std::string::npos; at = s.find(token, at + value.size()))
            s.replace(at, token.size(), value);
    return s;
}

// Runs that end before a job sends anything: a command line that runs no job,
// or a stop requested before the job begins (while the command line is read,
// or while the USB path waits for its key). The whole console text (@B the
// banner), the result, the requests and port accesses, the files opened, and
// the job's file (@F) as it was.
TEST(MainFlow, RunsThatSendNothing) {
    const std::string file = scratchPath("stopped.bin");
    enum { Never, AtStart, InKeyWait };
    const struct {
        std::string args;
        int stop;
        std::string outcome;
    } rows[] = {
        // clang-format off
        {"", Never, "@B{0, CommandLineError} 0 0 0 older"},
        {"-c -f @F", AtStart, "@Bkorvex -c -f @F \nERROR: INTERRUPTED, NOTHING WAS SENT TO THE BMC\n\n"
                              "{-1, Interrupted} 0 0 0 older"},
        {"-f @F -i usb", InKeyWait, "@Bkorvex -f @F -i usb \nPress any to continue name @F\n"
                                    "ERROR: INTERRUPTED, NOTHING WAS SENT TO THE BMC\n\n{0, Interrupted} 0 0 1 older"},
        // clang-format on
    };
    for (const auto& row : rows) {
        writeFile(file, "older");
        FaultRun sim;
        if (row.stop == InKeyWait) sim.console.onReadChar = [&sim] { sim.stops.requested = true; };
        sim.stops.requested = row.stop == AtStart;
        std::vector<std::string> args;
        std::istringstream words(replaced(row.args, {{"@F", file}}));
        for (std::string w; words >> w;) args.push_back(w);
        const std::string result = ::testing::PrintToString(sim.run(args));
        const auto& ports = sim.machine.ports;
        EXPECT_EQ(replaced(sim.console.text, {{goldenBanner(), "@B"}}) + result + " " +
                      std::to_string(sim.machine.bmc.exchanges()) + " " +
                      std::to_string(ports.reads() + ports.writes()) + " " + std::to_string(sim.files.opens) + " " +
                      readFile(file),
                  replaced(row.outcome, {{"@F", file}}))
            << row.args;
    }
    std::remove(file.c_str());
}

// korvex-sim through the shell, its standard output closed or thrown away:
// the exit status (or the signal that ended it), its standard error, whether
// the BMC's flash saved at the end (@F) holds the package (@P), whether the
// configuration saved at the end (@C) is the restored file's (@R), the size
// of the dump or backup at @D, and what a staged file left beside it. An
// update's transfer and a restore hold signals and end as they end; a dump or
// a backup stops at its next request and exits 128 + N without a file; a
// second signal ends the run at once; SIGHUP ignored (nohup) stays ignored.
TEST(MainFlow, KorvexSimExitStatusAndSignals) {
    const std::string package = scratchPath("sim-fw.bin"), flash = scratchPath("sim-flash.bin"),
                      dump = scratchPath("sim-dump.bin"), restore = scratchPath("sim-restore.bin"),
                      config = scratchPath("sim-config.bin"), err = scratchPath("sim-err.txt");
    writeFile(restore, std::string(1000, 'r'));
    PackageBuilder b(0x40000);
    b.signature(0, "fw-signals");
    for (int i = 0; i < 3; ++i) b.part("p" + std::to_string(i) + ".bin", 0x10000 * (i + 1), patternBytes(5000, i));
    writeFile(package, b.plainFooter(0x8000).str());
    int closedPipe[2];
    ASSERT_EQ(pipe(closedPipe), 0);
    close(closedPipe[0]);
    const std::string update = "--bmc-save-flash=@F -- -f @P", toDump = "--bmc-dump-length=10000 -- -d @D";
    const auto held = [](const char* signal, const char* job) {
        return "korvex-sim: SIG" + std::string(signal) + " held: the BMC is in the middle of " + job +
               ", which goes on to its end\n";
    };
    const std::string stopping = ": stopping before the next request to the BMC; a second signal stops at once\n";
    const struct {
        std::string command, outcome;
    } rows[] = {
        // clang-format off
        {"@S --", "exit 2 - - -1 0\n"},
        {"@S --bmc-no-such-knob=1 -- -d @D", "exit 2 - - -1 0\n"
         "korvex-sim: --bmc-no-such-knob=1: no such BMC option (--help lists them)\n"},
        {"@S --bmc-dump-length=100 -- -d @D", "exit 0 - - 100 0\n"},
        {"@S --bmc-dump-length=100 --bmc-dump-send=50 -- -d @D", "exit 1 - - -1 0\n"},
        {"@S --bmc-fault=request-cc:get-fw-update-info:0xdf " + update, "exit 3 old - -1 0\n"},
        {"@S --bmc-save-config=/nonexistent/c.bin -- -c -f @R", "exit 1 - - -1 0\n"
         "korvex-sim: cannot write the BMC configuration to /nonexistent/c.bin\n"},
        {"@S --raise-signal=INT:20 --raise-signal=TERM:40 " + update,
         "exit 0 package - -1 0\n" + held("INT", "an update")},
        {"@S " + update + " >&@W", "exit 0 package - -1 0\n"},
        {"@S --raise-signal=INT:1 " + update, "exit 130 old - -1 0\nkorvex-sim: SIGINT" + stopping},
        {"@S --raise-signal=TERM:2 --bmc-save-config=@C -- -c -f @R", "exit 0 - restored -1 0\n" +
         held("TERM", "a restore")},
        {"@T --raise-signal=TSTP:30 " + update, "exit 0 package - -1 0\n" + held("TSTP", "an update")},
        {"@S --raise-signal=INT:70 " + toDump, "exit 130 - - -1 0\nkorvex-sim: SIGINT" + stopping},
        {"@S --raise-signal=INT:70 --raise-signal=INT:70 " + toDump,
         "signal 2 - - -1 1\nkorvex-sim: SIGINT" + stopping},
        {"@S --raise-signal=HUP:5 -- -c -d @D", "exit 129 - - -1 0\nkorvex-sim: SIGHUP" + stopping},
        {"trap '' HUP; @S --raise-signal=HUP:70 " + toDump, "exit 0 - - 10000 0\n"},
        // clang-format on
    };
    // The child starts with the default actions, whatever this runner ignores
    // (a background job's SIGINT). @T bounds a run that a Ctrl-Z would stop.
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) std::signal(s, SIG_DFL);
    for (const auto& row : rows) {
        for (const std::string& f : {flash, dump, config, err}) std::remove(f.c_str());
        const std::string command =
            replaced(row.command, {{"@S", "exec " + std::string(KORVEX_SIM_BINARY)},
                                   {"@T", "exec timeout -s KILL 300 " + std::string(KORVEX_SIM_BINARY)},
                                   {"@W", std::to_string(closedPipe[1])},
                                   {"@P", package},
                                   {"@F", flash},
                                   {"@D", dump},
                                   {"@R", restore},
                                   {"@C", config}});
        const int raw = std::system(
            (command + (command.find(">&") == std::string::npos ? " > /dev/null" : "") + " 2> " + err).c_str());
        std::string flashHolds = "-";
        if (row.command.find("@F") != std::string::npos) {
            const std::string verify = std::string(KORVEX_PACK_BINARY) + " verify-dump " + package + " " + flash;
            flashHolds = std::system((verify + " > /dev/null 2>&1").c_str()) == 0 ? "package" : "old";
        }
        const std::string configHolds = row.command.find("@C") == std::string::npos ? "-"
                                        : readFile(config) == readFile(restore)     ? "restored"
                                                                                    : "old";
        const long dumpBytes = access(dump.c_str(), F_OK) == 0 ? static_cast<long>(readFile(dump).size()) : -1L;
        const std::vector<std::string> left = leftBeside(dump);
        for (const std::string& name : left) std::remove((std::filesystem::path(dump).parent_path() / name).c_str());
        const std::string status =
            WIFEXITED(raw) ? "exit " + std::to_string(WEXITSTATUS(raw)) : "signal " + std::to_string(WTERMSIG(raw));
        EXPECT_EQ(status + " " + flashHolds + " " + configHolds + " " + std::to_string(dumpBytes) + " " +
                      std::to_string(left.size()) + "\n" + readFile(err),
                  row.outcome)
            << row.command;
    }
    close(closedPipe[1]);
    for (const std::string& f : {package, flash, dump, restore, config, err}) std::remove(f.c_str());
}

}  // namespace
}  // namespace korvex::test
