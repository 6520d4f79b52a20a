// The flash dump through the whole tool: the KCS interface of the simulated
// machine, and the korvex-sim front end.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/capture.h"
#include "support/job_rig.h"

namespace korvex::test {
namespace {

const std::string kPhases = "Phase1:Wait for BMC !!\nPhase2:Receive the flash data........... \n";

std::string patternFlash(bmc::SimBmc& bmc, size_t bytes) {
    std::vector<uint8_t>& flash = bmc.flash();
    for (size_t i = 0; i < bytes; ++i) flash[i] = static_cast<uint8_t>(i * 13 + i / 509);
    return std::string(flash.begin(), flash.begin() + static_cast<std::ptrdiff_t>(bytes));
}

TEST(DumpEndToEnd, DumpOverKcs) {
    const std::string file = JobRig::path("e2e-dump.bin");
    SimRun sim;
    sim.options({"--bmc-dump-length=112", "--bmc-dump-ready-after=2"});
    const std::string flash = patternFlash(sim.machine.bmc, 112);
    EXPECT_EQ(sim.run({"-d", file, "-f", "ignored.bin"}), 1);
    EXPECT_EQ(sim.console.text, goldenBanner() + "korvex -d " + file + " -f ignored.bin \n" + kPhases +
                                    "length=0x70\n1K bytes      50%\r1K bytes      100%\r1K bytes      150%\r");
    EXPECT_EQ(readFile(file), flash);
    EXPECT_GE(sim.machine.clock.nowUs(), 60u * 1000000u);  // 50 s, then two polls 5 s apart
}

struct KcsFaultCase {
    const char* name;
    const char* fault;
    int transportErrors;  // "ERROR !! BMC did not in correct state" lines
    uint64_t minSeconds;
};

TEST(DumpEndToEnd, KcsFailuresStopTheDumpWithWhatArrivedBefore) {
    const std::string incomplete = "ERROR:RECEIVE FLASH DATA FAILED, THE DUMP IS INCOMPLETE\n\n";
    const KcsFaultCase cases[] = {
        // Requests count from 1: prepare, check, piece 1, piece 2.
        {"the BMC had the second piece request and broke off while answering: no retry",
         "--bmc-fault=error-state:4", 1, 50},
        {"the second piece request never got through: sent again four times in all",
         "--bmc-fault=ibf-stuck:4", 4, 50 + 4 * 30 + 3},
    };
    for (const KcsFaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = JobRig::path("e2e-dump-broken.bin");
        SimRun sim;
        sim.options({"--bmc-dump-length=200", c.fault});
        const std::string flash = patternFlash(sim.machine.bmc, 200);
        sim.run({"-d", file});
        const std::string& t = sim.console.text;
        std::string errors;
        for (int i = 0; i < c.transportErrors; ++i) errors += "ERROR !! BMC did not in correct state\n";
        EXPECT_EQ(t.substr(t.find("length=")), "length=0xc8\n" + errors + incomplete);
        EXPECT_EQ(readFile(file), flash.substr(0, 56));
        EXPECT_GE(sim.machine.clock.nowUs(), c.minSeconds * 1000000u);
    }
}

TEST(DumpEndToEnd, KorvexSimDump) {
    const std::string file = JobRig::path("sim-dump.bin");
    const std::string out = JobRig::path("sim-dump-out.txt");
    std::remove(file.c_str());
    const std::string cmd = std::string(KORVEX_SIM_BINARY) + " --bmc-dump-length=0x10000 -- -d " + file + " > " +
                            out + " 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(readFile(file), std::string(0x10000, '\xFF'));  // an erased flash
    const std::string text = readFile(out);
    EXPECT_NE(text.find("length=0x10000\n1K bytes      0%\r"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 20), "65K bytes      100%\r");
}

}  // namespace
}  // namespace korvex::test
