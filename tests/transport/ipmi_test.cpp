// doIPMICmd's retry policy and the cold reset.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "bmc/sim_machine.h"
#include "support/capture.h"
#include "support/memfs.h"
#include "transport/ipmi.h"
#include "transport/kcs.h"

namespace korvex {
namespace {

// One scripted answer of the transport.
struct Reply {
    int result;                 // completion code, or -1
    std::vector<uint8_t> data;  // response data on a completed exchange
    bool writeFailure = false;  // -1 from the write phase: the length is left alone
};

class ScriptedTransport final : public Transport {
public:
    int open() override { return 0; }
    int close() override { return 0; }
    ExchangeResult exchange(uint8_t, uint8_t, const uint8_t*, int32_t, uint8_t* responseData) override {
        const Reply& r = script.at(std::min(calls++, script.size() - 1));
        if (r.result == -1) return r.writeFailure ? ExchangeResult::writeFailure() : ExchangeResult::readFailure();
        for (size_t i = 0; i < r.data.size(); ++i) responseData[i] = r.data[i];
        return ExchangeResult::answer(static_cast<uint8_t>(r.result), static_cast<int32_t>(r.data.size()));
    }
    std::vector<Reply> script;  // the last entry repeats
    size_t calls = 0;
};

class RecordingStall final : public Stall {
public:
    void stall(uint64_t microseconds) override { total += microseconds; }
    uint64_t total = 0;
};

struct CmdCase {
    const char* name;
    RetryPolicy policy;
    std::vector<Reply> script;
    int32_t inlenBefore;
    int expectedResult;
    size_t attempts;
    uint64_t pausedUs;
    const char* text;
    uint8_t fields = 0;  // taskId << 4 | taskState << 1 | lowBit afterwards
};

class DoIpmiCmd : public ::testing::TestWithParam<CmdCase> {};

RetryPolicy policy(uint64_t delay, uint8_t check, uint8_t expected, uint64_t limit) {
    return RetryPolicy{delay, check, expected, limit};
}

TEST_P(DoIpmiCmd, FollowsThePolicy) {
    const CmdCase& c = GetParam();
    ScriptedTransport transport;
    transport.script = c.script;
    test::CaptureConsole console;
    RecordingStall stall;
    BmcLink link{transport, console, stall};
    TaskStatus task;
    const uint8_t request[3] = {0x01, 0x02, 0x03};
    uint8_t response[125] = {};
    int32_t inlen = c.inlenBefore;
    // As the signed byte the steps test: 0, or -1 (0xFF).
    EXPECT_EQ(static_cast<int8_t>(doIPMICmd(link, request, 3, response, &inlen, c.policy, &task)), c.expectedResult);
    EXPECT_EQ(transport.calls, c.attempts);
    EXPECT_EQ(stall.total, c.pausedUs);
    EXPECT_EQ(console.text, c.text);
    EXPECT_EQ(task.taskId << 4 | task.taskState << 1 | task.lowBit, c.fields);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, DoIpmiCmd,
    ::testing::Values(
        CmdCase{"wrong_state_five_times",
                policy(2, 1, 2, 5),
                {{0, {0x12}}},
                0,
                -1,
                5,
                10'000'000,
                "Error: doIPMICmd failed\n",
                0x12},
        CmdCase{"limit_0_code_with_data_passes",
                policy(0, 1, 5, 0),
                {{0xD5, {0x77}}},
                0,
                0,
                1,
                0,
                "[doIPMICmd] Abnormal. CompCode == 0xd5\n"},
        CmdCase{
            "limit_0_wrong_state_with_data_passes", policy(2, 1, 5, 0), {{0, {0x02}}}, 0, 0, 1, 2'000'000, "", 0x02},
        CmdCase{"limit_0_read_failure",
                policy(0, 0, 0, 0),
                {{-1, {}}},
                5,
                -1,
                1,
                0,
                "[doIPMICmd] Abnormal. CompCode == 0xffffffff\nError: inlen <= 0\n"},
        CmdCase{"limit_0_write_failure_old_inlen_passes",
                policy(0, 0, 0, 0),
                {{-1, {}, true}},
                5,
                0,
                1,
                0,
                "[doIPMICmd] Abnormal. CompCode == 0xffffffff\n"},
        CmdCase{"limit_0_write_failure_old_inlen_0",
                policy(0, 0, 0, 0),
                {{-1, {}, true}},
                0,
                -1,
                1,
                0,
                "[doIPMICmd] Abnormal. CompCode == 0xffffffff\nError: inlen <= 0\n"},
        CmdCase{"good_reply_without_data", policy(1, 0, 0, 5), {{0, {}}}, 9, -1, 1, 0, "Error: inlen <= 0\n"},
        CmdCase{"last_attempt_is_paused_after_too",
                policy(1, 0, 0, 1),
                {{0xC1, {0x00}}},
                0,
                -1,
                1,
                1'000'000,
                "[doIPMICmd] Abnormal. CompCode == 0xc1\nError: doIPMICmd failed\n"},
        CmdCase{"good_on_the_last_attempt",
                policy(2, 1, 3, 3),
                {{0, {0x02}}, {-1, {}}, {0, {0x06}}},
                0,
                0,
                3,
                4'000'000,
                "[doIPMICmd] Abnormal. CompCode == 0xffffffff\n",
                0x06},
        CmdCase{"fields_decoded_without_a_state_check", policy(0, 0, 0, 5), {{0, {0xA5, 0xFF}}}, 0, 0, 1, 0, "", 0xA5},
        // A failed attempt leaves the fields of the last good answer.
        CmdCase{"fields_kept_after_a_failed_attempt",
                policy(0, 1, 7, 2),
                {{0, {0x31}}, {0xC0, {0xFE}}},
                0,
                -1,
                2,
                0,
                "[doIPMICmd] Abnormal. CompCode == 0xc0\nError: doIPMICmd failed\n",
                0x31}),
    [](const ::testing::TestParamInfo<CmdCase>& info) { return std::string(info.param.name); });

// The BMC goes away to reset: the tool reports the outcome and does not wait for it.
TEST(BmcColdReset, ReportsTheOutcome) {
    for (const auto& [bmcFault, result, text] :
         {std::tuple{"", 0, "Execute Cold Reset Success\n"},
          std::tuple{"--bmc-fault=request-cc:cold-reset:0xc1", -1, "Execute Cold Reset Fail\n"}}) {
        test::CaptureConsole console;
        test::MemFs files;
        test::CountingMemory memory;
        bmc::SimMachine machine{console, files, memory};
        std::string error;
        ASSERT_TRUE(*bmcFault == '\0' || machine.applyOption(bmcFault, &error)) << error;
        KcsTransport kcs(machine.platform());
        ASSERT_EQ(kcs.open(), 0);
        BmcLink link{kcs, console, machine.stall};
        EXPECT_EQ(bmcColdReset(link), result);
        EXPECT_EQ(console.text, text);
        EXPECT_LT(machine.clock.nowUs(), 1'000'000u);
    }
}

}  // namespace
}  // namespace korvex
