// doIPMICmd's retry policy, and the cold reset.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/capture.h"
#include "transport/ipmi.h"

namespace korvex {
namespace {

// One scripted answer of the transport: a completion code with data, or -1
// (a failure while reading, or while writing when `writeFailure`).
struct Reply {
    int result;
    std::vector<uint8_t> data;
    bool writeFailure = false;
};

class ScriptedTransport final : public Transport {
public:
    int open() override { return 0; }
    int close() override { return 0; }
    ExchangeResult exchange(uint8_t, uint8_t, const uint8_t*, int32_t, uint8_t* responseData) override {
        const Reply& r = script.at(std::min(calls++, script.size() - 1));  // the last entry repeats
        if (r.result == -1) return r.writeFailure ? ExchangeResult::writeFailure() : ExchangeResult::readFailure();
        std::copy(r.data.begin(), r.data.end(), responseData);
        return ExchangeResult::answer(static_cast<uint8_t>(r.result), static_cast<int32_t>(r.data.size()));
    }
    std::vector<Reply> script;
    size_t calls = 0;
};

class RecordingStall final : public Stall {
public:
    void stall(uint64_t microseconds) override { total += microseconds; }
    uint64_t total = 0;
};

constexpr const char* kFailed = "Error: doIPMICmd failed\n";
constexpr const char* kNoData = "Error: inlen <= 0\n";
constexpr const char* kReadFailed = "[doIPMICmd] Abnormal. CompCode == 0xffffffff\n";

struct CmdCase {
    const char* name;
    RetryPolicy policy;  // delay in seconds, state check, expected state, attempt limit
    std::vector<Reply> script;
    int32_t inlenBefore;
    int result;  // as the signed byte the steps test
    size_t attempts;
    uint64_t pausedSeconds;
    std::string text;
    int fields = 0;          // taskId << 4 | taskState << 1 | lowBit afterwards
    bool coldReset = false;  // the exchange is bmcColdReset's instead (the BMC goes away: no waiting for it)
};

TEST(DoIpmiCmd, FollowsThePolicyAndColdResetReportsItsOutcome) {
    // clang-format off
    const CmdCase cases[] = {
        {"wrong state five times", {2, 1, 2, 5}, {{0, {0x12}}}, 0, -1, 5, 10, kFailed, 0x12},
        {"limit 0, code with data passes", {0, 1, 5, 0}, {{0xD5, {0x77}}}, 0, 0, 1, 0,
         "[doIPMICmd] Abnormal. CompCode == 0xd5\n"},
        {"limit 0, wrong state with data passes", {2, 1, 5, 0}, {{0, {0x02}}}, 0, 0, 1, 2, "", 0x02},
        {"limit 0, read failure", {0, 0, 0, 0}, {{-1, {}}}, 5, -1, 1, 0, std::string(kReadFailed) + kNoData},
        // A failure while writing leaves the length as it was, and the verdict rests on it.
        {"limit 0, write failure, old inlen passes", {0, 0, 0, 0}, {{-1, {}, true}}, 5, 0, 1, 0, kReadFailed},
        {"good reply without data", {1, 0, 0, 5}, {{0, {}}}, 9, -1, 1, 0, kNoData},
        {"last attempt is paused after too", {1, 0, 0, 1}, {{0xC1, {0x00}}}, 0, -1, 1, 1,
         std::string("[doIPMICmd] Abnormal. CompCode == 0xc1\n") + kFailed},
        {"good on the last attempt", {2, 1, 3, 3}, {{0, {0x02}}, {-1, {}}, {0, {0x06}}}, 0, 0, 3, 4, kReadFailed, 0x06},
        {"fields decoded without a state check", {0, 0, 0, 5}, {{0, {0xA5, 0xFF}}}, 0, 0, 1, 0, "", 0xA5},
        // A failed attempt leaves the fields of the last good answer.
        {"fields kept after a failed attempt", {0, 1, 7, 2}, {{0, {0x31}}, {0xC0, {0xFE}}}, 0, -1, 2, 0,
         std::string("[doIPMICmd] Abnormal. CompCode == 0xc0\n") + kFailed, 0x31},
        {"cold reset", {}, {{0, {}}}, 0, 0, 1, 0, "Execute Cold Reset Success\n", 0, true},
        {"cold reset refused", {}, {{0xC1, {}}}, 0, -1, 1, 0, "Execute Cold Reset Fail\n", 0, true},
        {"cold reset unanswered", {}, {{-1, {}}}, 0, -1, 1, 0, "Execute Cold Reset Fail\n", 0, true},
    };
    // clang-format on
    for (const CmdCase& c : cases) {
        ScriptedTransport transport;
        transport.script = c.script;
        test::CaptureConsole console;
        RecordingStall stall;
        BmcLink link{transport, console, stall};
        TaskStatus task;
        const uint8_t request[3] = {0x01, 0x02, 0x03};
        uint8_t response[125] = {};
        int32_t inlen = c.inlenBefore;
        const int result = c.coldReset
                               ? bmcColdReset(link)
                               : static_cast<int8_t>(doIPMICmd(link, request, 3, response, &inlen, c.policy, &task));
        EXPECT_EQ(std::tuple(result, transport.calls, stall.total, console.text, int{task.taskId}, int{task.taskState},
                             int{task.lowBit}),
                  std::tuple(c.result, c.attempts, c.pausedSeconds * 1'000'000, c.text, c.fields >> 4,
                             (c.fields >> 1) & 7, c.fields & 1))
            << c.name;
    }
}

}  // namespace
}  // namespace korvex
