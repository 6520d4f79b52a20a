// The requests the simulated BMC's knobs name. What each knob does shows in
// the runs that use it.
#include "bmc/knobs.h"

#include <gtest/gtest.h>

#include <string>

namespace korvex::bmc {
namespace {

// Every request by its name, and the bytes it stands for, written out: the tool
// and the BMC share their numbers, so only this shows a wrong one.
TEST(Knobs, RequestsGoByName) {
    struct Named {
        const char* name;
        uint8_t netFn;
        uint8_t command;
    };
    const Named requests[] = {
        {"get-device-id", 0x06, 0x01},
        {"cold-reset", 0x06, 0x02},
        {"set-bmc-global-enables", 0x06, 0x2E},
        {"get-bmc-global-enables", 0x06, 0x2F},
        {"clear-message-flags", 0x06, 0x30},
        {"get-message-flags", 0x06, 0x31},
        {"usb-update-info", 0x3E, 0x0D},
        {"send-block-info", 0x3E, 0x14},
        {"receive-fw-data", 0x3E, 0x15},
        {"get-fw-update-info", 0x3E, 0x16},
        {"get-fw-update-progress", 0x3E, 0x17},
        {"prepare-dump-flash", 0x3E, 0x1D},
        {"check-dump-flash-complete", 0x3E, 0x1E},
        {"get-dump-flash-data", 0x3E, 0x1F},
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
