// The KCS exchange against the simulated controller: what goes over the
// ports, what each fault of the BMC leads to, and what it costs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bmc/sim_machine.h"
#include "support/capture.h"
#include "support/memfs.h"
#include "transport/kcs.h"

namespace korvex {
namespace {

constexpr char kBadState[] = "ERROR !! BMC did not in correct state\n";
constexpr int32_t kUntouched = 77;
constexpr uint64_t kThirtySecondsNs = 30'000'000'000ull;

// Passes port accesses through, logs them ("in CA3 81", "out CA2 18"), and
// can make a run of status reads, from the `forceFrom`-th on (counting from
// 0), read as `forced`.
class RecordingPorts final : public PortIo {
public:
    explicit RecordingPorts(PortIo& inner) : inner_(inner) {}
    uint8_t in8(uint16_t port) override {
        uint8_t value = inner_.in8(port);
        if (port == 0xCA3) {
            if (statusReads >= forceFrom && statusReads - forceFrom < forceCount) value = forced;
            ++statusReads;
        }
        note("in", port, value);
        return value;
    }
    void out8(uint16_t port, uint8_t value) override {
        inner_.out8(port, value);
        note("out", port, value);
        if (keepLog) writes.push_back(log.back());
    }

    bool keepLog = true;
    std::vector<std::string> log;
    std::vector<std::string> writes;
    uint64_t accesses = 0;
    uint64_t statusReads = 0;
    uint64_t forceFrom = UINT64_MAX;
    uint64_t forceCount = UINT64_MAX;
    uint8_t forced = 0;

private:
    void note(const char* dir, uint16_t port, uint8_t value) {
        ++accesses;
        if (!keepLog) return;
        char line[24];
        std::snprintf(line, sizeof line, "%s %X %02X", dir, port, value);
        log.emplace_back(line);
    }
    PortIo& inner_;
};

// Passes timer calls through; the create or arm call with a given number
// (counting from 0) fails.
class FaultyTimers final : public Timers {
public:
    explicit FaultyTimers(Timers& inner) : inner_(inner) {}
    bool create(TimerId* id) override { return creates++ == failCreate ? false : inner_.create(id); }
    bool armRelative(TimerId id, uint64_t units) override {
        lastArm = units;
        return arms++ == failArm ? false : inner_.armRelative(id, units);
    }
    bool fired(TimerId id) override { return inner_.fired(id); }
    void cancel(TimerId id) override { inner_.cancel(id); }
    void close(TimerId id) override { inner_.close(id); }

    int creates = 0;
    int arms = 0;
    int failCreate = -1;
    int failArm = -1;
    uint64_t lastArm = 0;

private:
    Timers& inner_;
};

class KcsExchange : public ::testing::Test {
protected:
    void SetUp() override {
        // An OEM command of our own whose answer the tests choose.
        machine.bmc.setHandler(0x3E, 0x70, [this](const bmc::Request& r) {
            lastRequest = r;
            return answer;
        });
        ASSERT_EQ(kcs.open(), 0);  // no kcs.cfg: the standard ports
    }
    void fault(const std::string& option) {
        std::string error;
        ASSERT_TRUE(machine.applyOption(option, &error)) << error;
    }
    int oem(const std::vector<uint8_t>& data, int32_t* length) {
        return kcs.exchange(0xF8, 0x70, data.data(), static_cast<int32_t>(data.size()), response, length);
    }
    int coldReset(int32_t* length) { return kcs.exchange(0x18, 0x02, nullptr, 0, response, length); }
    // The BMC answers the next request normally: the interface was left usable.
    void expectNextExchangeWorks() {
        console.text.clear();
        answer = bmc::Response{0x00, {0x11, 0x22}};
        int32_t length = kUntouched;
        EXPECT_EQ(oem({1, 2, 3}, &length), 0);
        EXPECT_EQ(length, 2);
        EXPECT_EQ(response[0], 0x11);
        EXPECT_EQ(console.text, "");
    }

    test::CaptureConsole console;
    test::MemFs files;
    test::CountingMemory memory;
    bmc::SimMachine machine{console, files, memory};
    RecordingPorts ports{machine.ports};
    FaultyTimers timers{machine.timers};
    KcsTransport kcs{Platform{ports, timers, machine.stall, console, files, memory}};
    bmc::Response answer{0x00, {}};
    bmc::Request lastRequest;
    uint8_t response[125 + 8] = {};
};

TEST_F(KcsExchange, ColdResetOnTheWire) {
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), 0);
    EXPECT_EQ(length, 0);
    const std::vector<std::string> expected = {
        // wait IBF clear, clear OBF
        "in CA3 00", "in CA2 00", "in CA3 00",
        // WRITE_START: the controller goes to the write state and puts a dummy byte out
        "out CA3 61", "in CA3 81", "in CA2 00", "in CA3 80",
        // NetFn/LUN
        "out CA2 18", "in CA3 81", "in CA2 00", "in CA3 80",
        // WRITE_END, then the command byte, the last one
        "out CA3 62", "in CA3 81", "in CA2 00", "in CA3 80", "out CA2 02",
        // response: NetFn App + 1, command, completion code, each byte acknowledged with READ
        "in CA3 41", "in CA3 41", "in CA3 41", "in CA2 1C", "out CA2 68",
        "in CA3 41", "in CA3 41", "in CA3 41", "in CA2 02", "out CA2 68",
        "in CA3 41", "in CA3 41", "in CA3 41", "in CA2 00", "out CA2 68",
        // idle with the dummy byte
        "in CA3 01", "in CA3 01", "in CA3 01", "in CA2 00"};
    EXPECT_EQ(ports.log, expected);
    EXPECT_EQ(machine.bmc.coldResets(), 1u);
    EXPECT_EQ(machine.timers.openCount(), 0u);
    EXPECT_EQ(timers.creates, 2);  // one timer event per phase
    EXPECT_EQ(timers.lastArm, 300'000'000u);
    EXPECT_EQ(console.text, "");
}

TEST_F(KcsExchange, SixtyTwoDataBytesFillTheRequestStore) {
    std::vector<uint8_t> data(62);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    int32_t length = kUntouched;
    EXPECT_EQ(oem(data, &length), 0);
    std::vector<std::string> expected = {"out CA3 61", "out CA2 F8", "out CA2 70"};
    char line[24];
    for (size_t i = 0; i < 61; ++i) {
        std::snprintf(line, sizeof line, "out CA2 %02X", data[i]);
        expected.emplace_back(line);
    }
    expected.emplace_back("out CA3 62");
    std::snprintf(line, sizeof line, "out CA2 %02X", data[61]);
    expected.emplace_back(line);
    expected.insert(expected.end(), 3, "out CA2 68");
    EXPECT_EQ(ports.writes, expected);
    EXPECT_EQ(lastRequest.data, data);
    EXPECT_EQ(ports.accesses, 4u * 64 + 8 + 5 * 3 + 4);
}

TEST_F(KcsExchange, FiftyDataBytesOutAndOneByteBackCost240PortAccesses) {
    answer = bmc::Response{0x00, {0x42}};
    int32_t length = kUntouched;
    EXPECT_EQ(oem(std::vector<uint8_t>(50, 0x5A), &length), 0);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(response[0], 0x42);
    EXPECT_EQ(ports.accesses, 240u);
    EXPECT_EQ(machine.ports.reads() + machine.ports.writes(), 240u);
}

struct CostCase {
    size_t requestData;
    size_t responseData;
};

class KcsExchangeCost : public KcsExchange, public ::testing::WithParamInterface<CostCase> {};

// Against an instant BMC: 4 accesses a request byte plus 8, and 5 a
// response byte plus 4; nothing more.
TEST_P(KcsExchangeCost, StaysAtTheProtocolFloor) {
    const CostCase c = GetParam();
    answer = bmc::Response{0x00, std::vector<uint8_t>(c.responseData, 0x33)};
    int32_t length = kUntouched;
    EXPECT_EQ(oem(std::vector<uint8_t>(c.requestData, 0x44), &length), 0);
    EXPECT_EQ(length, static_cast<int32_t>(c.responseData));
    const uint64_t n = c.requestData + 2, r = c.responseData + 3;
    EXPECT_EQ(ports.accesses, 4 * n + 8 + 5 * r + 4);
    EXPECT_EQ(machine.clock.nowUs(), ports.accesses);  // 1 us an access, no pauses
}

INSTANTIATE_TEST_SUITE_P(Sizes, KcsExchangeCost,
                         ::testing::Values(CostCase{0, 0}, CostCase{0, 125}, CostCase{1, 1}, CostCase{50, 1},
                                           CostCase{62, 0}, CostCase{62, 125}));

TEST_F(KcsExchange, NonZeroCompletionCodeComesWithItsData) {
    answer = bmc::Response{0xD5, {0xDE, 0xAD, 0xBE}};
    int32_t length = kUntouched;
    EXPECT_EQ(oem({}, &length), 0xD5);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(response[0], 0xDE);
    EXPECT_EQ(response[2], 0xBE);
    EXPECT_EQ(console.text, "");
}

TEST_F(KcsExchange, UnknownRequestGetsC1) {
    int32_t length = kUntouched;
    EXPECT_EQ(kcs.exchange(0xF8, 0x7F, nullptr, 0, response, &length), 0xC1);
    EXPECT_EQ(length, 0);
}

// A status byte that the controller shows at one step of a Cold Reset
// exchange, and what the exchange makes of it. Status reads of that
// exchange, counting from 0: 0 wait before the transfer, 1 after clearing
// OBF, 2/3 after WRITE_START, 4/5 after NetFn/LUN, 6/7 after WRITE_END,
// then the read transfer: 8 wait, 9 state, 10 wait for OBF, ...
struct StatusCase {
    const char* name;
    uint64_t read;
    uint8_t status;
    int result;
    int32_t length;  // after the exchange; kUntouched when a failed write leaves it
};

class KcsStatusFault : public KcsExchange, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(KcsStatusFault, EndsAsItShould) {
    const StatusCase& c = GetParam();
    ports.forceFrom = c.read;
    ports.forceCount = 1;
    ports.forced = c.status;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), c.result);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(console.text, c.result == -1 ? kBadState : "");
    EXPECT_EQ(machine.timers.openCount(), 0u);
    expectNextExchangeWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, KcsStatusFault,
    ::testing::Values(
        StatusCase{"ibf_once_before_the_transfer_is_waited_out", 0, 0x02, 0, 0},
        StatusCase{"obf_still_set_before_write_start", 1, 0x01, -1, kUntouched},
        StatusCase{"idle_after_write_start", 2, 0x00, -1, kUntouched},
        StatusCase{"read_state_after_write_start", 2, 0x40, -1, kUntouched},
        StatusCase{"error_state_passes_the_write_test", 2, 0xC0, 0, 0},
        StatusCase{"obf_after_write_start", 3, 0x81, -1, kUntouched},
        StatusCase{"idle_after_a_request_byte", 4, 0x00, -1, kUntouched},
        StatusCase{"obf_after_a_request_byte", 5, 0x01, -1, kUntouched},
        StatusCase{"read_state_after_write_end", 6, 0x41, -1, kUntouched},
        StatusCase{"obf_after_write_end", 7, 0x81, -1, kUntouched},
        StatusCase{"write_state_in_the_read_transfer", 9, 0x80, -1, -1},
        StatusCase{"error_state_reads_as_read_state", 9, 0xC0, 0, 0},
        StatusCase{"idle_too_early_is_a_short_response", 9, 0x01, -1, -1}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

// The timer events: a failure to create or arm one ends the exchange without
// a message, and no event is left open.
struct TimerCase {
    const char* name;
    int failCreate;
    int failArm;
    int32_t length;
    uint64_t accesses;
};

class KcsTimerFault : public KcsExchange, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(KcsTimerFault, FailsQuietly) {
    const TimerCase& c = GetParam();
    timers.failCreate = c.failCreate;
    timers.failArm = c.failArm;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(ports.accesses, c.accesses);
    EXPECT_EQ(console.text, "");
    EXPECT_EQ(machine.timers.openCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, KcsTimerFault,
    ::testing::Values(TimerCase{"write_phase_create", 0, -1, kUntouched, 0},
                      TimerCase{"first_arm", -1, 0, kUntouched, 0},
                      TimerCase{"arm_after_write_start", -1, 1, kUntouched, 4},
                      TimerCase{"read_phase_create", 1, -1, -1, 16},
                      TimerCase{"read_phase_first_arm", -1, 4, -1, 16},
                      TimerCase{"read_phase_arm_for_obf", -1, 5, -1, 18}),
    [](const ::testing::TestParamInfo<TimerCase>& info) { return std::string(info.param.name); });

TEST_F(KcsExchange, BmcThatNeverClearsIbfTimesOutAfterThirtySeconds) {
    fault("--bmc-fault=ibf-stuck");
    ports.keepLog = false;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_GE(machine.clock.nowNs(), kThirtySecondsNs);
    EXPECT_LT(machine.clock.nowNs(), kThirtySecondsNs + 10'000);
    EXPECT_EQ(machine.bmc.exchanges(), 0u);
    EXPECT_EQ(machine.timers.openCount(), 0u);
}

TEST_F(KcsExchange, SlowAnswerTimesOutInTheReadPhaseAndTheNextExchangeRecovers) {
    fault("--bmc-fault=delay:31000000:1");
    ports.keepLog = false;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_GE(machine.clock.nowNs(), kThirtySecondsNs);
    EXPECT_LT(machine.clock.nowNs(), kThirtySecondsNs + 100'000);
    // The late answer is still on its way: the next exchange waits it out
    // and starts over.
    expectNextExchangeWorks();
}

TEST_F(KcsExchange, SlowAnswerWithinTheLimitIsWaitedFor) {
    fault("--bmc-fault=delay:29000000");
    ports.keepLog = false;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), 0);
    EXPECT_GE(machine.clock.nowUs(), 29'000'000u);
}

TEST_F(KcsExchange, EveryWaitHasItsOwnThirtySeconds) {
    // 20 s of IBF before the transfer, then 20 s of work on the answer:
    // 40 s in all, but no single wait reaches 30 s.
    ports.keepLog = false;
    ports.forceFrom = 0;
    ports.forceCount = 20'000'000;
    ports.forced = 0x02;
    fault("--bmc-fault=delay:20000000");
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), 0);
    EXPECT_GE(machine.clock.nowUs(), 40'000'000u);
}

TEST_F(KcsExchange, ObfThatNeverComesInTheReadPhaseTimesOut) {
    ports.keepLog = false;
    ports.forceFrom = 10;  // the wait for the first response byte
    ports.forced = 0x40;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_GE(machine.clock.nowNs(), kThirtySecondsNs);
}

TEST_F(KcsExchange, ResponseOfExactly128BytesFits) {
    answer = bmc::Response{0x00, std::vector<uint8_t>(125, 0x77)};
    int32_t length = kUntouched;
    EXPECT_EQ(oem({}, &length), 0);
    EXPECT_EQ(length, 125);
    EXPECT_EQ(response[124], 0x77);
    EXPECT_EQ(response[125], 0x00);
}

TEST_F(KcsExchange, ResponseOverTheReplyStoreIsDrainedAndFails) {
    answer = bmc::Response{0x00, std::vector<uint8_t>(126, 0x77)};
    int32_t length = kUntouched;
    EXPECT_EQ(oem({}, &length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_EQ(response[0], 0x00) << "nothing of a failed answer is handed on";
    expectNextExchangeWorks();
}

TEST_F(KcsExchange, LongResponseKnobFailsTheExchangeOnce) {
    fault("--bmc-fault=long-response:300:1");
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(console.text, kBadState);
    expectNextExchangeWorks();
}

TEST_F(KcsExchange, EndlessResponseEndsAtTheDrainLimit) {
    // A controller stuck handing out bytes: the read state and OBF for ever.
    ports.keepLog = false;
    ports.forceFrom = 8;
    ports.forced = 0x41;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_LT(machine.clock.nowNs(), kThirtySecondsNs);
}

class KcsShortResponse : public KcsExchange, public ::testing::WithParamInterface<int> {};

TEST_P(KcsShortResponse, HasNoCompletionCodeAndFails) {
    fault("--bmc-fault=short-response:" + std::to_string(GetParam()) + ":1");
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(console.text, kBadState);
    expectNextExchangeWorks();
}

INSTANTIATE_TEST_SUITE_P(Bytes, KcsShortResponse, ::testing::Values(0, 1, 2));

TEST_F(KcsExchange, ExactlyThreeResponseBytesGiveLengthZero) {
    answer = bmc::Response{0xC0, {}};
    int32_t length = kUntouched;
    EXPECT_EQ(oem({9}, &length), 0xC0);
    EXPECT_EQ(length, 0);
}

TEST_F(KcsExchange, ErrorStateInsteadOfAnAnswerFailsOnce) {
    fault("--bmc-fault=error-state:1");
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_EQ(machine.bmc.exchanges(), 0u) << "the message never reached the BMC";
    expectNextExchangeWorks();
}

TEST_F(KcsExchange, StaleByteBeforeTheTransferFailsBeforeWriteStart) {
    fault("--bmc-fault=obf-stuck:1");
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_TRUE(ports.writes.empty()) << "nothing may be written while OBF is set";
    expectNextExchangeWorks();
}

TEST_F(KcsExchange, RequestThatDoesNotFitIsRefusedBeforeAnyPortAccess) {
    for (int32_t bad : {63, 64, 300, -1}) {
        std::vector<uint8_t> data(300, 1);
        int32_t length = kUntouched;
        EXPECT_EQ(kcs.exchange(0xF8, 0x70, data.data(), bad, response, &length), -1) << bad;
        EXPECT_EQ(length, kUntouched);
    }
    EXPECT_EQ(ports.accesses, 0u);
    EXPECT_EQ(timers.creates, 0);
    EXPECT_EQ(console.text, "");
}

TEST_F(KcsExchange, WrongPortsInKcsCfgFailCleanly) {
    // Nothing answers at 0x42/0x43: the ports read 0xFF (IBF set for ever).
    files.files["kcs.cfg"] = "CMD 43\nDATA 42\n";
    ASSERT_EQ(kcs.open(), 0);
    EXPECT_EQ(kcs.ports().command, 0x43);
    ports.keepLog = false;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), -1);
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(console.text, kBadState);
    EXPECT_GE(machine.clock.nowNs(), kThirtySecondsNs);
    EXPECT_EQ(machine.bmc.exchanges(), 0u);
}

TEST_F(KcsExchange, ConfiguredPortsAreTheOnesUsed) {
    files.files["kcs.cfg"] = "DATA CA2\nCMD CA3\n";
    ASSERT_EQ(kcs.open(), 0);
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), 0);
}

TEST_F(KcsExchange, StatsCountTheMessagesTheBmcHandled) {
    int32_t length = kUntouched;
    coldReset(&length);
    answer = bmc::Response{0x00, {1}};
    oem({1, 2}, &length);
    fault("--bmc-fault=obf-stuck:3");
    coldReset(&length);  // fails before the BMC sees anything
    const uint64_t accesses = ports.accesses;
    EXPECT_EQ(machine.stats(), "exchanges: 2\nport reads: " + std::to_string(machine.ports.reads()) +
                                   "\nport writes: " + std::to_string(machine.ports.writes()) +
                                   "\nvirtual time: " + std::to_string(accesses) + " us\n");
    // Cold Reset: 4 writes and 3 READs; the OEM request: 6 writes and 4 READs.
    EXPECT_EQ(machine.ports.writes(), (4u + 3) + (6u + 4));
}

}  // namespace
}  // namespace korvex
