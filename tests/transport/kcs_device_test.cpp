// The simulated controller at the register level, as a host that does not
// follow the protocol would find it.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>

#include "bmc/kcs_device.h"
#include "bmc/knobs.h"
#include "bmc/sim_bmc.h"
#include "platform/sim/sim.h"

namespace korvex::bmc {
namespace {

constexpr uint16_t kData = 0xCA2;
constexpr uint16_t kCommand = 0xCA3;
// WRITE_START, NetFn 0x30, WRITE_END: the request up to its last byte.
constexpr uint16_t kRequest[] = {kCommand, 0x61, kData, 0xC0, kCommand, 0x62};

// What the tool's own exchanges, which follow the protocol, cannot show.
// Steps, separated by spaces: cXX writes the command register, dXX the data
// register, r reads the data register (r=XX: and expects XX), s=XX expects
// that status, tN lets N ns of virtual time pass, n=N and x=N expect N
// requests begun and N messages handled, G writes a request of NetFn 0x30
// command 0x01, which the BMC answers with the one data byte 0xAB.
struct ScriptCase {
    const char* name;
    const char* fault;  // --bmc-fault=..., or ""
    const char* script;
};

class KcsController : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(KcsController, FollowsTheScript) {
    sim::VirtualClock clock;
    SimBmc bmc;
    bmc.setHandler(0x30, 0x01, [](const Request&) { return Response{0x00, {0xAB}}; });
    KcsDevice device{bmc, clock};
    std::string error;
    if (*GetParam().fault != '\0') {
        ASSERT_TRUE(applyKnob({bmc, &device}, std::string("--bmc-fault=") + GetParam().fault, &error)) << error;
    }
    std::istringstream steps(GetParam().script);
    for (std::string step; steps >> step;) {
        SCOPED_TRACE(step);
        const uint64_t n = step.size() > 1 ? std::stoull(step.substr(step[1] == '=' ? 2 : 1), nullptr, 16) : 0;
        switch (step[0]) {
            case 'c':
                device.write(kCommand, static_cast<uint8_t>(n));
                break;
            case 'd':
                device.write(kData, static_cast<uint8_t>(n));
                break;
            case 'r': {
                const uint8_t value = device.read(kData);
                if (step.size() > 1) {
                    EXPECT_EQ(value, n);
                }
                break;
            }
            case 's':
                EXPECT_EQ(device.read(kCommand), n);
                break;
            case 't':
                clock.advanceNs(std::stoull(step.substr(1)));
                break;
            case 'n':
                EXPECT_EQ(device.requests(), n);
                break;
            case 'x':
                EXPECT_EQ(bmc.exchanges(), n);
                break;
            case 'G':
                for (size_t i = 0; i < std::size(kRequest); i += 2) {
                    device.write(kRequest[i], static_cast<uint8_t>(kRequest[i + 1]));
                    device.read(kData);  // the dummy byte
                }
                device.write(kData, 0x01);
                break;
            default:
                FAIL() << "no such step";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, KcsController,
    ::testing::Values(ScriptCase{"data_byte_while_idle_is_a_violation", "", "d18 s=C1"},
                      ScriptCase{"write_end_while_idle_is_a_violation", "", "c62 s=C1"},
                      ScriptCase{"unknown_control_code_is_a_violation", "", "c61 c6F s=C1"},
                      // GET_STATUS/ABORT: out through the error state with code 0x01.
                      ScriptCase{"abort_hands_out_its_code", "",
                                 "c61 d18 c60 s=C1 r d00 s=41 r=01 d68 s=01 r s=00 x=0"},
                      ScriptCase{"anything_but_read_in_the_read_state_is_a_violation", "", "G s=41 r d00 s=C1"},
                      // IBF and the write state while the BMC works; what is written meanwhile is dropped.
                      ScriptCase{"delay_keeps_ibf", "kcs-delay:1000", "G s=82 c61 t999000 s=82 t1000 s=41 n=1"}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvex::bmc
