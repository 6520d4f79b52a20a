// The simulated controller at the register level, as a host that does not
// follow the protocol would find it, and its fault knobs.
#include <gtest/gtest.h>

#include <string>

#include "bmc/kcs_device.h"
#include "bmc/sim_bmc.h"
#include "platform/sim/sim.h"

namespace korvex::bmc {
namespace {

constexpr uint16_t kData = 0xCA2;
constexpr uint16_t kCommand = 0xCA3;

class KcsController : public ::testing::Test {
protected:
    uint8_t status() { return device.read(kCommand); }
    // Writes a request of NetFn App, Get Device ID, up to the answer.
    void sendGetDeviceId() {
        device.write(kCommand, 0x61);
        device.read(kData);
        device.write(kData, 0x18);
        device.read(kData);
        device.write(kCommand, 0x62);
        device.read(kData);
        device.write(kData, 0x01);
    }

    sim::VirtualClock clock;
    SimBmc bmc;
    KcsDevice device{bmc, clock};
};

TEST_F(KcsController, StartsIdle) { EXPECT_EQ(status(), 0x00); }

TEST_F(KcsController, DataByteWhileIdleIsAViolation) {
    device.write(kData, 0x18);
    EXPECT_EQ(status(), 0xC1);
}

TEST_F(KcsController, WriteEndWhileIdleIsAViolation) {
    device.write(kCommand, 0x62);
    EXPECT_EQ(status() & 0xC0, 0xC0);
}

TEST_F(KcsController, UnknownControlCodeIsAViolation) {
    device.write(kCommand, 0x61);
    device.write(kCommand, 0x6F);
    EXPECT_EQ(status() & 0xC0, 0xC0);
}

TEST_F(KcsController, AbortLeadsOutThroughTheErrorStateWithItsCode) {
    device.write(kCommand, 0x61);
    device.write(kData, 0x18);
    device.write(kCommand, 0x60);  // GET_STATUS/ABORT
    EXPECT_EQ(status(), 0xC1);
    device.read(kData);
    device.write(kData, 0x00);
    EXPECT_EQ(status(), 0x41);
    EXPECT_EQ(device.read(kData), 0x01);  // aborted by command
    device.write(kData, 0x68);
    EXPECT_EQ(status(), 0x01);
    device.read(kData);
    EXPECT_EQ(status(), 0x00);
    EXPECT_EQ(bmc.exchanges(), 0u);
}

TEST_F(KcsController, AnythingButReadInTheReadStateIsAViolation) {
    sendGetDeviceId();
    EXPECT_EQ(status(), 0x41);
    device.read(kData);
    device.write(kData, 0x00);
    EXPECT_EQ(status() & 0xC0, 0xC0);
}

TEST_F(KcsController, WriteStartAbandonsAResponseAndStartsOver) {
    sendGetDeviceId();
    EXPECT_EQ(status(), 0x41);
    device.write(kCommand, 0x61);
    EXPECT_EQ(status(), 0x81);
    EXPECT_EQ(device.requests(), 2u);
}

TEST_F(KcsController, ResponseBytesThenIdleWithTheLastByteAgain) {
    sendGetDeviceId();
    EXPECT_EQ(bmc.exchanges(), 1u);
    std::vector<uint8_t> bytes;
    while ((status() & 0xC0) == 0x40) {
        bytes.push_back(device.read(kData));
        device.write(kData, 0x68);
    }
    ASSERT_EQ(bytes.size(), 3u + 11);
    EXPECT_EQ(bytes[0], 0x1C);  // NetFn App + 1
    EXPECT_EQ(bytes[1], 0x01);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(status(), 0x01);
    EXPECT_EQ(device.read(kData), bytes.back());
    EXPECT_EQ(status(), 0x00);
}

TEST_F(KcsController, DelayedAnswerKeepsIbfAndTheWriteStateMeanwhile) {
    std::string error;
    ASSERT_EQ(device.setKnob("fault", "delay:1000", &error), KnobResult::Ok);
    sendGetDeviceId();
    EXPECT_EQ(status(), 0x82);
    device.write(kCommand, 0x61);  // dropped: IBF is set
    clock.advanceNs(999'000);
    EXPECT_EQ(status(), 0x82);
    clock.advanceNs(1'000);
    EXPECT_EQ(status(), 0x41);
    EXPECT_EQ(device.requests(), 1u);
}

TEST_F(KcsController, DelayForTheNthRequestOnly) {
    std::string error;
    ASSERT_EQ(device.setKnob("fault", "delay:1000:2", &error), KnobResult::Ok);
    sendGetDeviceId();
    EXPECT_EQ(status(), 0x41);
    sendGetDeviceId();
    EXPECT_EQ(status(), 0x82);
    sendGetDeviceId();  // dropped while the BMC works
    clock.advanceNs(1'000'000);
    EXPECT_EQ(status(), 0x41);
    sendGetDeviceId();
    EXPECT_EQ(status(), 0x41);
    EXPECT_EQ(device.requests(), 3u);
}

TEST_F(KcsController, IbfStuckFromTheNthRequest) {
    std::string error;
    ASSERT_EQ(device.setKnob("fault", "ibf-stuck:2", &error), KnobResult::Ok);
    sendGetDeviceId();
    EXPECT_EQ(status(), 0x41);
    device.write(kCommand, 0x61);
    EXPECT_EQ(status() & 0x02, 0x02);
    clock.advanceNs(60'000'000'000);
    EXPECT_EQ(status() & 0x02, 0x02);
}

struct KnobCase {
    const char* value;
    KnobResult result;
};

class KcsFaultKnob : public ::testing::TestWithParam<KnobCase> {};

TEST_P(KcsFaultKnob, IsUnderstoodOrRefused) {
    sim::VirtualClock clock;
    SimBmc bmc;
    KcsDevice device(bmc, clock);
    std::string error;
    EXPECT_EQ(device.setKnob("fault", GetParam().value, &error), GetParam().result);
    EXPECT_EQ(error.empty(), GetParam().result != KnobResult::Bad) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Values, KcsFaultKnob,
    ::testing::Values(KnobCase{"ibf-stuck", KnobResult::Ok}, KnobCase{"ibf-stuck:3", KnobResult::Ok},
                      KnobCase{"ibf-stuck:0", KnobResult::Bad}, KnobCase{"ibf-stuck:x", KnobResult::Bad},
                      KnobCase{"ibf-stuck:1:2", KnobResult::Bad}, KnobCase{"delay:2000000", KnobResult::Ok},
                      KnobCase{"delay:0x10:4", KnobResult::Ok}, KnobCase{"delay", KnobResult::Bad},
                      KnobCase{"delay:", KnobResult::Bad}, KnobCase{"delay:1:2:3", KnobResult::Bad},
                      KnobCase{"delay:99999999999999999999", KnobResult::Bad},
                      KnobCase{"error-state", KnobResult::Ok}, KnobCase{"error-state:2", KnobResult::Ok},
                      KnobCase{"long-response:200", KnobResult::Ok}, KnobCase{"long-response:128", KnobResult::Bad},
                      KnobCase{"long-response:65536", KnobResult::Bad},
                      KnobCase{"short-response:0", KnobResult::Ok}, KnobCase{"short-response:2:5", KnobResult::Ok},
                      KnobCase{"short-response:3", KnobResult::Bad}, KnobCase{"obf-stuck", KnobResult::Ok},
                      KnobCase{"obf-stuck:2", KnobResult::Ok}, KnobCase{"cc:0x3e:0x16:0xc1", KnobResult::NotMine},
                      KnobCase{"ibf", KnobResult::NotMine}));

TEST(KcsFaultKnobs, OtherKnobsAreNotTheDevices) {
    sim::VirtualClock clock;
    SimBmc bmc;
    KcsDevice device(bmc, clock);
    std::string error;
    EXPECT_EQ(device.setKnob("flash-size", "ibf-stuck", &error), KnobResult::NotMine);
}

TEST(KcsFaultKnobs, HelpNamesEveryKnob) {
    sim::VirtualClock clock;
    SimBmc bmc;
    KcsDevice device(bmc, clock);
    const std::string help = device.knobHelp();
    for (const char* name : {"ibf-stuck", "delay:", "error-state", "long-response:", "short-response:", "obf-stuck"})
        EXPECT_NE(help.find(std::string("--bmc-fault=") + name), std::string::npos) << name;
}

}  // namespace
}  // namespace korvex::bmc
