// Every request the simulated BMC's knobs name, and the bytes it stands for,
// written out: the tool and the BMC share their numbers, so only this shows a
// wrong one.
#include "bmc/knobs.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace korvex::bmc {
namespace {

TEST(Knobs, RequestsGoByName) {
    std::istringstream named(
        "get-device-id 06 01 cold-reset 06 02 set-bmc-global-enables 06 2e get-bmc-global-enables 06 2f "
        "clear-message-flags 06 30 get-message-flags 06 31 usb-update-info 3e 0d send-block-info 3e 14 "
        "receive-fw-data 3e 15 get-fw-update-info 3e 16 get-fw-update-progress 3e 17 prepare-dump-flash 3e 1d "
        "check-dump-flash-complete 3e 1e get-dump-flash-data 3e 1f config-transfer 3e 20");
    std::string name;
    unsigned netFn, command;
    while (named >> name >> std::hex >> netFn >> command) {
        SimBmc bmc;
        std::string error;
        ASSERT_TRUE(bmc.applyOption("--bmc-fault=request-cc:" + name + ":0xd5", &error)) << error;
        const Request r{static_cast<uint8_t>(netFn), 0, static_cast<uint8_t>(command), {}};
        EXPECT_EQ(bmc.handle(r).completionCode, 0xD5) << name;
    }
}

}  // namespace
}  // namespace korvex::bmc
