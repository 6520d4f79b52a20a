// The whole tool against the simulated machine: command line, KCS registers,
// the BMC's update side and its flash.
#include <gtest/gtest.h>

#include <cstdio>

#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "support/capture.h"

namespace korvex::test {
namespace {

constexpr size_t k32MiB = 0x2000000;

struct Package {
    std::string path = scratchPath("package.bin");
    PackageBuilder builder{k32MiB};
    Package() {
        builder.signature(0x1F00000, "sim-fw-2.0");
        builder.part("boot.bin", 0, patternBytes(100000, 21)).part("rootfs.bin", 0x400000, patternBytes(50000, 22));
        builder.encipheredFooterAt(0x1FC0000);
        writeFile(path, builder.str());
    }
    ~Package() { std::remove(path.c_str()); }
};

TEST(UpdateOverKcs, ToolUpdatesTheFlashOfTheSimulatedBmc) {
    Package package;
    SimRun sim;
    ASSERT_EQ(sim.run({"-f", package.path, "-r", "n"}), 0);
    const std::string& t = sim.console.text;
    const std::string head = goldenBanner() + "korvex -f " + package.path + " -r n \n" +
                             "Check if this file is valid................\n"
                             "[find_respective_image_info:788] Unique File name=sim-fw-2.0 len=10\n"
                             "If the FW update fails,PLEASE TRY AGAIN\n"
                             "Load part 0   100000 bytes,     1K bytes   1%\r";
    EXPECT_EQ(t.substr(0, head.size()), head);
    for (const char* line : {"Load part 0   100000 bytes, [Ok]                       \r\n",
                             "Load part 1    50000 bytes, [Ok]                       \r\n",
                             "Load part 2   262144 bytes, [Ok]                       \r\n"})
        EXPECT_NE(t.find(line), std::string::npos) << line;
    const std::string tail = "new firmware is updating...100%\r"
                             "\nUpdate Complete,Please wait for BMC reboot, about 1 min                       \n";
    ASSERT_GE(t.size(), tail.size());
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail);

    const auto* update = sim.machine.bmc.module<bmc::UpdateModule>();
    EXPECT_EQ(update->preserveFlags(), Bytes{0});
    Bytes expected(k32MiB, 0xFF);
    for (auto [at, n] : {std::pair<size_t, size_t>{0, 100000}, {0x400000, 50000}, {0x1FC0000, 0x40000}})
        std::copy(package.builder.bytes.begin() + at, package.builder.bytes.begin() + at + n, expected.begin() + at);
    EXPECT_TRUE(update->flash() == expected);
    EXPECT_EQ(sim.machine.bmc.coldResets(), 0u);
    EXPECT_EQ(sim.memory.outstanding(), 0u);
}

TEST(UpdateOverKcs, BrokenExchangeMidTransferEndsTheUpdate) {
    Package package;
    SimRun sim;
    sim.options({"--bmc-fault=error-state:5"});  // the third ReceiveFWData: request 1 is the update info, 2 the block info
    EXPECT_EQ(sim.run({"-f", package.path}), -1);
    const std::string tail = "If the FW update fails,PLEASE TRY AGAIN\n"
                             "Load part 0   100000 bytes,     1K bytes   1%\r"
                             "ERROR !! BMC did not in correct state\n"
                             "ERROR:SEND \"ReceiveFWData\" COMMAND TO BMC FAILED\n"
                             "Execute Cold Reset Success\n";
    ASSERT_GE(sim.console.text.size(), tail.size());
    EXPECT_EQ(sim.console.text.substr(sim.console.text.size() - tail.size()), tail);
    EXPECT_EQ(sim.machine.bmc.coldResets(), 1u);
    EXPECT_EQ(sim.machine.bmc.module<bmc::UpdateModule>()->preserveFlags(), Bytes{1});
    EXPECT_EQ(sim.memory.outstanding(), 0u);
}

TEST(UpdateOverKcs, UsbPathWaitsForAKeyAndSendsOnlyTheUpdateInfo) {
    Package package;
    SimRun sim;
    sim.console.input = "\n";
    EXPECT_EQ(sim.run({"-f", package.path, "-i", "usb"}), 0);
    // The signature lies beyond the first 32 KiB, where the whole-package look does not seek it.
    const std::string tail = "Press any to continue name " + package.path +
                             "\nIf the FW update fails,PLEASE TRY AGAIN\nTransfer data ................\nFWUpdate fail\n";
    EXPECT_EQ(sim.console.text.substr(sim.console.text.size() - std::min(tail.size(), sim.console.text.size())), tail);
    EXPECT_EQ(sim.machine.bmc.exchanges(), 1u);
    EXPECT_EQ(sim.machine.bmc.count(0x3E, 0x0D), 1u);
}

}  // namespace
}  // namespace korvex::test
