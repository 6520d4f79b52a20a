// The main routine end to end against the simulated machine.
#include <gtest/gtest.h>

#include "support/capture.h"

namespace korvex::test {
namespace {

TEST(MainFlow, UsageOnlyRunTouchesNothing) {
    SimRun sim;
    EXPECT_EQ(sim.run({}), 0);
    EXPECT_EQ(sim.console.text, goldenBanner());
    EXPECT_EQ(sim.machine.ports.reads() + sim.machine.ports.writes(), 0u);
}

TEST(MainFlow, EchoesTheCommandLineAfterTheBanner) {
    SimRun sim;
    sim.run({"-d", "/nonexistent-dir/dump.bin", "-i", "usb"});
    const std::string head = goldenBanner() + "korvex -d /nonexistent-dir/dump.bin -i usb \n";
    EXPECT_EQ(sim.console.text.substr(0, head.size()), head);
}

TEST(MainFlow, OptionErrorSendsNothing) {
    SimRun sim;
    EXPECT_EQ(sim.run({"-f", "fw.bin", "-i", "lan"}), 0);
    EXPECT_EQ(sim.machine.ports.reads() + sim.machine.ports.writes(), 0u);
    EXPECT_EQ(sim.machine.bmc.exchanges(), 0u);
}

}  // namespace
}  // namespace korvex::test
