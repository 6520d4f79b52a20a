// The main routine end to end against the simulated machine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <utility>

#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

TEST(MainFlow, UsageOnlyRunTouchesNothing) {
    FaultRun sim;
    EXPECT_EQ(sim.run({}), (JobResult{0, JobOutcome::CommandLineError}));
    EXPECT_EQ(sim.console.text, goldenBanner());
    EXPECT_EQ(sim.machine.ports.reads() + sim.machine.ports.writes(), 0u);
}

// A stop requested before the job begins (while the command line is read,
// or while the USB path waits for its key) ends the run before any file of
// the job is opened or anything is sent.
TEST(MainFlow, StopBeforeTheJobSendsNothing) {
    const std::string file = scratchPath("stopped.bin");
    const std::string nothingSent = "ERROR: INTERRUPTED, NOTHING WAS SENT TO THE BMC\n\n";
    const struct {
        std::vector<std::string> args;
        bool inKeyWait;
        int value;
        std::string console;
    } rows[] = {
        {{"-f", file}, false, -1, nothingSent},
        {{"-d", file}, false, -1, nothingSent},
        {{"-c", "-f", file}, false, -1, nothingSent},
        {{"-c", "-d", file}, false, -1, nothingSent},
        {{"-f", file, "-i", "usb"}, true, 0, "Press any to continue name " + file + "\n" + nothingSent},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1]);
        writeFile(file, "older");
        FaultRun sim;
        if (row.inKeyWait)
            sim.console.onReadChar = [&sim] { sim.stops.requested = true; };
        else
            sim.stops.requested = true;
        EXPECT_EQ(sim.run(row.args), (JobResult{row.value, JobOutcome::Interrupted}));
        EXPECT_EQ(sim.after(), row.console);
        EXPECT_EQ(sim.machine.bmc.exchanges(), 0u);
        EXPECT_EQ(sim.files.opens, row.inKeyWait ? 1 : 0);  // kcs.cfg, which transport open reads
        EXPECT_EQ(readFile(file), "older");
    }
    std::remove(file.c_str());
}

TEST(MainFlow, OptionErrorSendsNothing) {
    FaultRun sim;
    EXPECT_EQ(sim.run({"-f", "fw.bin", "-i", "lan"}), (JobResult{0, JobOutcome::CommandLineError}));
    EXPECT_EQ(sim.machine.ports.reads() + sim.machine.ports.writes(), 0u);
    EXPECT_EQ(sim.machine.bmc.exchanges(), 0u);
}

// korvex-sim exits with the run's outcome; its own faults count as the
// command line's, and a BMC state it cannot save afterwards as a failure.
TEST(MainFlow, KorvexSimExitsWithTheOutcome) {
    const std::string dump = scratchPath("status-dump.bin"), package = scratchPath("status-fw.bin");
    writeFile(package, std::string(64, 'p'));
    const struct {
        const char* args;
        int status;
    } rows[] = {
        {"--", 2},
        {"--bmc-no-such-knob=1 -- -d @D", 2},
        {"--bmc-dump-length=100 -- -d @D", 0},
        {"--bmc-dump-length=100 --bmc-dump-send=50 -- -d @D", 1},
        {"--bmc-fault=request-cc:get-fw-update-info:0xdf -- -f @P", 3},
        {"--bmc-save-config=/nonexistent-dir/c.bin -- -c -f @P", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        std::string args = row.args;
        for (auto [token, path] : {std::pair{"@D", dump}, {"@P", package}})
            if (const size_t at = args.find(token); at != std::string::npos) args.replace(at, 2, path);
        const int raw = std::system((std::string(KORVEX_SIM_BINARY) + " " + args + " > /dev/null 2>&1").c_str());
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, row.status);
    }
    std::remove(dump.c_str());
    std::remove(package.c_str());
}

struct SimEnd {
    int status;  // the exit status; -N: ended by signal N; 1000 + N: stopped by signal N
    std::string err;
    size_t outBytes;  // standard output, when it went to a file
};

// korvex-sim with its standard output into a file or, with a readLimit,
// into a pipe of the least size, from which readLimit bytes are taken before
// the read end is closed, as `| head -c N` does: any output beyond N and the
// pipe's size then meets a closed pipe. hangUpIgnored starts it with SIGHUP
// ignored, as nohup does.
SimEnd runSim(const std::string& args, size_t readLimit, bool hangUpIgnored) {
    const std::string outPath = scratchPath("sim-out.txt"), errPath = scratchPath("sim-err.txt");
    std::vector<std::string> words{KORVEX_SIM_BINARY};
    std::istringstream split(args);
    for (std::string w; split >> w;) words.push_back(w);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (readLimit != SIZE_MAX && pipe2(out, O_CLOEXEC) == 0) {
        fcntl(out[0], F_SETPIPE_SZ, 4096);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The child starts with the default dispositions, whatever the test runner
    // ignores (a background job's SIGINT), but for SIGHUP under nohup.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE})
        if (signal != SIGHUP || !hangUpIgnored) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    struct sigaction ignore {
    }, before{};
    ignore.sa_handler = SIG_IGN;
    if (hangUpIgnored) sigaction(SIGHUP, &ignore, &before);
    pid_t pid = -1;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0;
    if (hangUpIgnored) sigaction(SIGHUP, &before, nullptr);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (out[1] >= 0) close(out[1]);
    char buffer[4096];
    for (size_t taken = 0; out[0] >= 0 && taken < readLimit;) {
        const ssize_t n = read(out[0], buffer, std::min(sizeof buffer, readLimit - taken));
        if (n <= 0) break;
        taken += static_cast<size_t>(n);
    }
    if (out[0] >= 0) close(out[0]);
    // Stopped (by a Ctrl-Z that was not held) counts as an end, so the test
    // does not wait for a child that will never go on.
    int raw = 0;
    if (!spawned || waitpid(pid, &raw, WUNTRACED) != pid) return {-1000, "not run", 0};
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? -WTERMSIG(raw) : 1000 + WSTOPSIG(raw);
    if (WIFSTOPPED(raw)) {
        kill(pid, SIGKILL);
        waitpid(pid, &raw, 0);
    }
    const SimEnd end{status, readFile(errPath), readFile(outPath).size()};
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return end;
}

struct SignalRow {
    const char* name;
    std::string args;  // @P: the package, @F: the flash saved at the end, @D: the dump or backup,
                       // @R: a configuration to restore, @C: the configuration saved at the end
    size_t readLimit;
    int status;
    std::string err;  // korvex-sim's standard error; @S stands for "korvex-sim: "
    bool bmcChanged;  // the flash holds the package, or the configuration is @R's
    long fileBytes;   // -1: no file at @D
    size_t leftBeside = 0;
    bool hangUpIgnored = false;
};

// Signals through the real korvex-sim: an update's transfer goes on to its
// end whatever arrives, a dump or a backup stops at its next request and
// exits 128 + N without a file, a second signal ends the run at once.
TEST(MainFlow, KorvexSimUnderSignals) {
    const std::string package = scratchPath("signals-fw.bin"), flash = scratchPath("signals-flash.bin"),
                      dump = scratchPath("signals-dump.bin"), restore = scratchPath("signals-restore.bin"),
                      config = scratchPath("signals-config.bin");
    writeFile(restore, std::string(1000, 'r'));
    // Seven parts and the footer: every part prints its twenty progress lines,
    // so the output outgrows 4200 bytes and the pipe together.
    PackageBuilder b(0x90000);
    b.signature(0, "fw-signals");
    for (int i = 0; i < 7; ++i) b.part("p" + std::to_string(i) + ".bin", 0x10000 * (i + 1), patternBytes(5000, i));
    writeFile(package, b.plainFooter(0x80000).str());
    const std::string held = "@SSIGINT held: the BMC is in the middle of an update, which goes on to its end\n";
    const std::string stopping =
        "@SSIGINT: stopping before the next request to the BMC; a second signal stops at once\n";
    const std::string update = "--bmc-save-flash=@F -- -f @P";
    const std::string toDump = "--bmc-dump-length=10000 -- -d @D";
    const SignalRow rows[] = {
        {"SIGINT and SIGTERM in the transfer", "--raise-signal=INT:20 --raise-signal=TERM:40 " + update, SIZE_MAX, 0,
         held, true, -1},
        {"| head -c 4200", update, 4200, 0, "", true, -1},
        {"SIGINT before the transfer", "--raise-signal=INT:1 " + update, SIZE_MAX, 130, stopping, false, -1},
        {"SIGTERM in a restore", "--raise-signal=TERM:2 --bmc-save-config=@C -- -c -f @R", SIZE_MAX, 0,
         "@SSIGTERM held: the BMC is in the middle of a restore, which goes on to its end\n", true, -1},
        {"Ctrl-Z in the transfer", "--raise-signal=TSTP:30 " + update, SIZE_MAX, 0,
         "@SSIGTSTP held: the BMC is in the middle of an update, which goes on to its end\n", true, -1},
        {"SIGINT in a dump", "--raise-signal=INT:70 " + toDump, SIZE_MAX, 130, stopping, false, -1},
        {"SIGINT twice", "--raise-signal=INT:70 --raise-signal=INT:70 " + toDump, SIZE_MAX, -SIGINT, stopping, false,
         -1, 1},
        {"SIGHUP in a backup", "--raise-signal=HUP:5 -- -c -d @D", SIZE_MAX, 129,
         "@SSIGHUP: stopping before the next request to the BMC; a second signal stops at once\n", false, -1},
        {"SIGHUP under nohup", "--raise-signal=HUP:70 " + toDump, SIZE_MAX, 0, "", false, 10000, 0, true},
    };
    for (const SignalRow& row : rows) {
        SCOPED_TRACE(row.name);
        for (const std::string& f : {flash, dump, config}) std::remove(f.c_str());
        std::string args = row.args;
        for (auto [token, path] :
             {std::pair{"@P", package}, {"@F", flash}, {"@D", dump}, {"@R", restore}, {"@C", config}})
            if (const size_t at = args.find(token); at != std::string::npos) args.replace(at, 2, path);
        const SimEnd end = runSim(args, row.readLimit, row.hangUpIgnored);
        EXPECT_EQ(end.status, row.status);
        std::string err = row.err;
        for (size_t at = err.find("@S"); at != std::string::npos; at = err.find("@S"))
            err.replace(at, 2, "korvex-sim: ");
        EXPECT_EQ(end.err, err);
        const bool updating = args.find(" -f " + package) != std::string::npos;
        if (updating && row.readLimit == SIZE_MAX && row.bmcChanged) {
            EXPECT_GT(end.outBytes, 4200u + 4096u);
        }
        if (updating && row.bmcChanged) {
            const std::string verify = std::string(KORVEX_PACK_BINARY) + " verify-dump " + package + " " + flash;
            EXPECT_EQ(std::system((verify + " > /dev/null").c_str()), 0);
        }
        if (!updating) {
            EXPECT_EQ(readFile(config) == readFile(restore), row.bmcChanged);
        }
        EXPECT_EQ(access(dump.c_str(), F_OK) == 0 ? static_cast<long>(readFile(dump).size()) : -1L, row.fileBytes);
        const std::vector<std::string> left = leftBeside(dump);
        EXPECT_EQ(left.size(), row.leftBeside);
        for (const std::string& name : left) std::remove((std::filesystem::path(dump).parent_path() / name).c_str());
    }
    for (const std::string& f : {package, flash, dump, restore, config}) std::remove(f.c_str());
}

}  // namespace
}  // namespace korvex::test
