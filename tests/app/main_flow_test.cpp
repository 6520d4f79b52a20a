// The main routine end to end against the simulated machine.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "support/capture.h"

namespace korvex::test {
namespace {

TEST(MainFlow, UsageOnlyRunTouchesNothing) {
    SimRun sim;
    EXPECT_EQ(sim.run({}), (JobResult{0, JobOutcome::CommandLineError}));
    EXPECT_EQ(sim.console.text, goldenBanner());
    EXPECT_EQ(sim.machine.ports.reads() + sim.machine.ports.writes(), 0u);
}

TEST(MainFlow, EchoesTheCommandLineAfterTheBanner) {
    SimRun sim;
    EXPECT_EQ(sim.run({"-d", "/nonexistent-dir/dump.bin", "-i", "usb"}), (JobResult{1, JobOutcome::Failed}));
    const std::string head = goldenBanner() + "korvex -d /nonexistent-dir/dump.bin -i usb \n";
    EXPECT_EQ(sim.console.text.substr(0, head.size()), head);
}

TEST(MainFlow, OptionErrorSendsNothing) {
    SimRun sim;
    EXPECT_EQ(sim.run({"-f", "fw.bin", "-i", "lan"}), (JobResult{0, JobOutcome::CommandLineError}));
    EXPECT_EQ(sim.machine.ports.reads() + sim.machine.ports.writes(), 0u);
    EXPECT_EQ(sim.machine.bmc.exchanges(), 0u);
}

}  // namespace
}  // namespace korvex::test

namespace korvex::test {
namespace {

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

}  // namespace
}  // namespace korvex::test
