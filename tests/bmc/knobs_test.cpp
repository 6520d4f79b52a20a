// The simulated BMC's knobs: a good and a bad spelling of each kind of
// argument. What each knob then does shows in the runs that use it.
#include "bmc/knobs.h"

#include <gtest/gtest.h>

#include <string>

#include "bmc/sim_machine.h"
#include "support/capture.h"
#include "support/memfs.h"

namespace korvex::bmc {
namespace {

struct KnobCase {
    std::string option;
    bool accepted;
    bool withKcs = true;  // korvex-sim's machine; false: korvex-bmcd's BMC alone
};

TEST(Knobs, AreTakenOrRefusedWithTheirName) {
    const std::string file = std::string(KORVEX_TEST_DATA_DIR) + "/CMakeLists.txt";
    const KnobCase cases[] = {
        {"--bmc-dump-length=0xFFFFFFFF", true},  // a number in its range
        {"--bmc-dump-length=0x100000000", false},
        {"--bmc-dump-length", false},
        {"--bmc-fault=kcs-delay:0x10:4", true},  // optional arguments
        {"--bmc-fault=kcs-delay", false},
        {"--bmc-fault=kcs-delay:1:2:3", false},
        {"--bmc-fault=kcs-ibf-stuck:", false},
        {"--bmc-fault=kcs-ibf-stuck", false, false},  // no KCS controller behind korvex-bmcd
        {"--bmc-fault=dump-never-ready", true, false},
        {"--bmc-fault=dump-never-ready:1", false},
        {"--bmc-fault=update-progress:101:100", true},  // a list
        {"--bmc-fault=update-progress:100:256", false},
        {"--bmc-fault=request-cc:cold-reset:0xc1", true},  // a request by name
        {"--bmc-fault=request-cc:0x02:0xc1", false},
        {"--bmc-fault=update-no-data:send-block-info", false},  // not one of the requests it takes
        {"--bmc-fault=config-task-state:status:3:2", true},      // an answer by name
        {"--bmc-fault=config-task-state:Status:3", false},
        {"--bmc-dump-not-ready=2", true},
        {"--bmc-dump-not-ready=1", false},  // refused by the knob itself
        {"--bmc-flash=" + file, true},      // a file to read
        {"--bmc-flash=" + file + ".missing", false},
        {"--bmc-save-config=x.bin", true},  // a file to write
        {"--bmc-save-config=", false},
        {"--bmc-fault=nodata:0x16", false},
        {"--bmc-no-such-knob=1", false},
    };
    for (const KnobCase& c : cases) {
        test::CaptureConsole console;
        test::MemFs files;
        test::CountingMemory memory;
        SimMachine machine{console, files, memory};
        std::string error;
        const bool accepted = c.withKcs ? machine.applyOption(c.option, &error) : machine.bmc.applyOption(c.option, &error);
        EXPECT_EQ(accepted, c.accepted) << c.option << ": " << error;
        EXPECT_EQ(error.rfind(c.option + ": ", 0), c.accepted ? std::string::npos : 0u) << c.option << ": " << error;
    }
}

// Every request by its name, and the bytes it stands for, written out: the tool
// and the BMC share their numbers, so only this shows a wrong one.
TEST(Knobs, RequestsGoByName) {
    struct Named {
        const char* name;
        uint8_t netFn;
        uint8_t command;
    };
    const Named requests[] = {
        {"get-device-id", 0x06, 0x01},          {"cold-reset", 0x06, 0x02},
        {"set-bmc-global-enables", 0x06, 0x2E}, {"get-bmc-global-enables", 0x06, 0x2F},
        {"clear-message-flags", 0x06, 0x30},    {"get-message-flags", 0x06, 0x31},
        {"usb-update-info", 0x3E, 0x0D},        {"send-block-info", 0x3E, 0x14},
        {"receive-fw-data", 0x3E, 0x15},        {"get-fw-update-info", 0x3E, 0x16},
        {"get-fw-update-progress", 0x3E, 0x17}, {"prepare-dump-flash", 0x3E, 0x1D},
        {"check-dump-flash-complete", 0x3E, 0x1E}, {"get-dump-flash-data", 0x3E, 0x1F},
        {"config-transfer", 0x3E, 0x20},
    };
    for (const Named& r : requests) {
        SimBmc bmc;
        std::string error;
        ASSERT_TRUE(bmc.applyOption(std::string("--bmc-fault=request-cc:") + r.name + ":0xd5", &error)) << error;
        EXPECT_EQ(bmc.handle(Request{r.netFn, 0, r.command, {}}).completionCode, 0xD5) << r.name;
    }
}

}  // namespace
}  // namespace korvex::bmc
