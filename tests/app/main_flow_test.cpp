// The main routine end to end against the simulated machine.
#include <gtest/gtest.h>

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
