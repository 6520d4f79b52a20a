// The KCS exchange against the simulated controller: what goes over the
// ports, what it costs, and what each fault of the BMC leads to.
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
constexpr uint64_t kForever = UINT64_MAX;

// Passes port accesses through, logs them ("in CA3 81", "out CA2 18") if
// asked, and makes `forceCount` status reads from the `forceFrom`-th on
// (counting from 0), and those before `forceUntilNs`, read as `forced`.
class RecordingPorts final : public PortIo {
public:
    RecordingPorts(PortIo& inner, const sim::VirtualClock& clock) : inner_(inner), clock_(clock) {}
    uint8_t in8(uint16_t port) override {
        uint8_t value = inner_.in8(port);
        if (port == 0xCA3) {
            if (statusReads >= forceFrom && statusReads - forceFrom < forceCount && clock_.nowNs() < forceUntilNs)
                value = forced;
            ++statusReads;
        }
        note("in", port, value);
        return value;
    }
    void out8(uint16_t port, uint8_t value) override {
        inner_.out8(port, value);
        note("out", port, value);
    }

    bool keepLog = false;
    std::vector<std::string> log;
    uint64_t statusReads = 0;
    uint64_t forceFrom = kForever;
    uint64_t forceCount = kForever;
    uint64_t forceUntilNs = kForever;
    uint8_t forced = 0;

private:
    void note(const char* dir, uint16_t port, uint8_t value) {
        if (!keepLog) return;
        char line[24];
        std::snprintf(line, sizeof line, "%s %X %02X", dir, port, value);
        log.emplace_back(line);
    }
    PortIo& inner_;
    const sim::VirtualClock& clock_;
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
    // The result's value, and in *length the caller's count as doIPMICmd keeps it.
    static int kept(const ExchangeResult& result, int32_t* length) {
        *length = result.lengthAfter(*length);
        return result.value();
    }
    int oem(const std::vector<uint8_t>& data, int32_t* length) {
        return kept(kcs.exchange(0xF8, 0x70, data.data(), static_cast<int32_t>(data.size()), response), length);
    }
    int coldReset(int32_t* length) { return kept(kcs.exchange(0x18, 0x02, nullptr, 0, response), length); }
    uint64_t accesses() const { return machine.ports.reads() + machine.ports.writes(); }
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
    RecordingPorts ports{machine.ports, machine.clock};
    FaultyTimers timers{machine.timers};
    NeverStop stops;
    KcsTransport kcs{Platform{ports, timers, machine.stall, console, files, memory, stops}};
    bmc::Response answer{0x00, {}};
    bmc::Request lastRequest;
    uint8_t response[125 + 8] = {};
};

TEST_F(KcsExchange, ColdResetOnTheWire) {
    ports.keepLog = true;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), 0);
    EXPECT_EQ(length, 0);
    // Wait for IBF clear and clear OBF; WRITE_START (the controller goes to the write state and puts a dummy
    // byte out); NetFn/LUN; WRITE_END and the command byte, the last one; the response (NetFn App + 1, command,
    // completion code), each byte acknowledged with READ; idle with the dummy byte.
    // clang-format off
    const std::vector<std::string> expected = {
        "in CA3 00", "in CA2 00", "in CA3 00", "out CA3 61", "in CA3 81", "in CA2 00", "in CA3 80", "out CA2 18",
        "in CA3 81", "in CA2 00", "in CA3 80", "out CA3 62", "in CA3 81", "in CA2 00", "in CA3 80", "out CA2 02",
        "in CA3 41", "in CA3 41", "in CA3 41", "in CA2 1C", "out CA2 68", "in CA3 41", "in CA3 41", "in CA3 41",
        "in CA2 02", "out CA2 68", "in CA3 41", "in CA3 41", "in CA3 41", "in CA2 00", "out CA2 68", "in CA3 01",
        "in CA3 01", "in CA3 01", "in CA2 00"};
    // clang-format on
    EXPECT_EQ(ports.log, expected);
    EXPECT_EQ(machine.bmc.coldResets(), 1u);
    EXPECT_EQ(machine.timers.openCount(), 0u);
    EXPECT_EQ(timers.creates, 2);  // one timer event per phase
    EXPECT_EQ(timers.lastArm, 300'000'000u);
    EXPECT_EQ(console.text, "");
}

TEST_F(KcsExchange, RequestThatDoesNotFitIsRefusedBeforeAnyPortAccess) {
    for (int32_t bad : {63, 64, 300, -1}) {
        std::vector<uint8_t> data(300, 1);
        int32_t length = kUntouched;
        EXPECT_EQ(kept(kcs.exchange(0xF8, 0x70, data.data(), bad, response), &length), -1) << bad;
        EXPECT_EQ(length, kUntouched);
    }
    EXPECT_EQ(accesses(), 0u);
    EXPECT_EQ(timers.creates, 0);
    EXPECT_EQ(console.text, "");
}

// Against an instant BMC a request of N bytes (data + 2) costs 4N+8 port
// accesses and a response of R bytes (data + 3) 5R+4; nothing more, and no
// pauses (1 us an access).
TEST_F(KcsExchange, AnswersStayAtTheProtocolFloor) {
    const struct {
        size_t requestData, responseData;
        uint8_t code;
        uint64_t accesses;
    } rows[] = {{0, 0, 0xC1, 35}, {1, 1, 0x00, 44}, {0, 3, 0xD5, 50}, {62, 125, 0x00, 908}};
    for (const auto& c : rows) {
        SCOPED_TRACE(::testing::Message() << c.requestData << " bytes out, " << c.responseData << " back");
        std::vector<uint8_t> data(c.requestData), back(c.responseData);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
        for (size_t i = 0; i < back.size(); ++i) back[i] = static_cast<uint8_t>(0x30 + i);
        answer = bmc::Response{c.code, back};
        std::fill(std::begin(response), std::end(response), 0);
        const uint64_t before = accesses(), start = machine.clock.nowUs();
        int32_t length = kUntouched;
        EXPECT_EQ(oem(data, &length), c.code);
        EXPECT_EQ(lastRequest.data, data);
        ASSERT_EQ(length, static_cast<int32_t>(c.responseData));
        EXPECT_EQ(std::vector<uint8_t>(response, response + length), back);
        EXPECT_EQ(response[length], 0) << "nothing past the answer";
        EXPECT_EQ(accesses() - before, c.accesses);
        EXPECT_EQ(machine.clock.nowUs() - start, c.accesses);
    }
    EXPECT_EQ(console.text, "");
}

// A Cold Reset exchange under a fault: a status byte forced at one status
// read (counting from 0: 0 wait before the transfer, 1 after clearing OBF,
// 2/3 after WRITE_START, 4/5 after NetFn/LUN, 6/7 after WRITE_END, then the
// read transfer: 8 wait, 9 state, 10 wait for OBF, ...) or for longer, a
// fault of the simulated BMC, or ports where nothing answers.
struct FaultCase {
    const char* name;
    const char* bmcFault;  // --bmc-fault=..., or ""
    uint64_t forceFrom;
    uint64_t forceCount;
    uint8_t forced;
    int result;
    int32_t length;  // after the exchange; kUntouched when a failed write leaves it
    uint64_t writes;
    uint64_t seconds;  // of waiting, to within 100 us; 0: less than one
    bool recovers;     // the next exchange works
    const char* kcsCfg = nullptr;
    uint64_t forceUntilNs = kForever;
};

class KcsFault : public KcsExchange, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(KcsFault, EndsAsItShould) {
    const FaultCase& c = GetParam();
    if (*c.bmcFault != '\0') {
        std::string error;
        ASSERT_TRUE(machine.applyOption(std::string("--bmc-fault=") + c.bmcFault, &error)) << error;
    }
    if (c.kcsCfg != nullptr) {
        files.files["kcs.cfg"] = c.kcsCfg;
        ASSERT_EQ(kcs.open(), 0);
    }
    ports.forceFrom = c.forceFrom;
    ports.forceCount = c.forceCount;
    ports.forced = c.forced;
    ports.forceUntilNs = c.forceUntilNs;
    int32_t length = kUntouched;
    EXPECT_EQ(coldReset(&length), c.result);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(machine.ports.writes(), c.writes);
    EXPECT_EQ(response[0], 0) << "nothing of a failed answer is handed on";
    EXPECT_EQ(console.text, c.result == -1 ? kBadState : "");
    EXPECT_EQ(machine.timers.openCount(), 0u);
    const uint64_t ns = machine.clock.nowNs(), limit = c.seconds * 1'000'000'000ull;
    EXPECT_GE(ns, limit);
    EXPECT_LT(ns, c.seconds == 0 ? 1'000'000'000ull : limit + 100'000);
    if (c.recovers) expectNextExchangeWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, KcsFault,
    ::testing::Values(
        FaultCase{"ibf_once_before_the_transfer_is_waited_out", "", 0, 1, 0x02, 0, 0, 7, 0, true},
        // Nothing may be written while OBF is set.
        FaultCase{"stale_byte_before_write_start", "kcs-obf-stuck:1", kForever, 0, 0, -1, kUntouched, 0, 0, true},
        FaultCase{"idle_after_write_start", "", 2, 1, 0x00, -1, kUntouched, 1, 0, true},
        FaultCase{"error_state_passes_the_write_test", "", 2, 1, 0xC0, 0, 0, 7, 0, true},
        FaultCase{"obf_after_a_request_byte", "", 5, 1, 0x01, -1, kUntouched, 2, 0, true},
        FaultCase{"read_state_after_write_end", "", 6, 1, 0x41, -1, kUntouched, 3, 0, true},
        // Given up on at once, not waited out as if the BMC were going idle.
        FaultCase{"write_state_in_the_read_transfer", "", 9, kForever, 0x80, -1, -1, 4, 0, false},
        FaultCase{"error_state_reads_as_read_state", "", 9, 1, 0xC0, 0, 0, 7, 0, true},
        FaultCase{"idle_too_early_is_a_short_response", "", 9, 1, 0x01, -1, -1, 4, 0, true},
        FaultCase{"response_of_2_bytes", "kcs-short-response:2:1", kForever, 0, 0, -1, -1, 4 + 2, 0, true},
        FaultCase{"response_of_129_bytes_is_drained", "kcs-long-response:129:1", kForever, 0, 0, -1, -1, 4 + 129, 0,
                  true},
        // 1025 READs: the drain limit, long before any timer.
        FaultCase{"endless_response_ends_at_the_drain_limit", "", 8, kForever, 0x41, -1, -1, 4 + 1025, 0, false},
        FaultCase{"obf_never_comes_in_the_read_transfer", "", 10, kForever, 0x40, -1, -1, 4, 30, false},
        FaultCase{"ibf_stuck", "kcs-ibf-stuck", kForever, 0, 0, -1, kUntouched, 0, 30, false},
        // 20 s of IBF before the transfer, then 20 s of work on the answer.
        FaultCase{"every_wait_has_its_own_thirty_seconds", "kcs-delay:20000000", 0, kForever, 0x02, 0, 0, 7, 40, true,
                  nullptr, 20'000'000'000},
        // The late answer is still on its way: the next exchange waits it out.
        FaultCase{"slow_answer_beyond_the_limit", "kcs-delay:31000000:1", kForever, 0, 0, -1, -1, 4, 30, true},
        // Nothing answers at 0x42/0x43: the ports read 0xFF, IBF set for ever.
        FaultCase{"wrong_ports_in_kcs_cfg", "", kForever, 0, 0, -1, kUntouched, 0, 30, false, "CMD 43\nDATA 42\n"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(accesses(), c.accesses);
    EXPECT_EQ(console.text, "");
    EXPECT_EQ(machine.timers.openCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Calls, KcsTimerFault,
                         ::testing::Values(TimerCase{"write_phase_create", 0, -1, kUntouched, 0},
                                           TimerCase{"first_arm", -1, 0, kUntouched, 0},
                                           TimerCase{"read_phase_create", 1, -1, -1, 16},
                                           TimerCase{"read_phase_arm_for_obf", -1, 5, -1, 18}),
                         [](const ::testing::TestParamInfo<TimerCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvex
