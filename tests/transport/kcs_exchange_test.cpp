// The KCS exchange against the simulated controller: what goes over the
// ports, what it costs, and what each fault of the BMC leads to; and the
// ports kcs.cfg gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
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
    uint64_t statusReads = 0, forceFrom = kForever, forceCount = kForever, forceUntilNs = kForever;
    uint8_t forced = 0;

private:
    void note(const char* dir, uint16_t port, uint8_t value) {
        char line[24];
        std::snprintf(line, sizeof line, "%s %X %02X", dir, port, value);
        if (keepLog) log.emplace_back(line);
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

    int creates = 0, arms = 0, failCreate = -1, failArm = -1;
    uint64_t lastArm = 0;

private:
    Timers& inner_;
};

// The simulated BMC behind the recording ports, with an OEM command of our
// own whose answer the tests choose.
struct Rig {
    Rig() {
        machine.bmc.setHandler(0x3E, 0x70, [this](const bmc::Request& r) {
            lastRequest = r;
            return answer;
        });
        kcs.open();  // no kcs.cfg: the standard ports
    }
    // The result's value, and in *length the caller's count as doIPMICmd keeps it.
    int exchange(uint8_t netFn, uint8_t cmd, const std::vector<uint8_t>& data, int32_t* length, int32_t count = -2) {
        const ExchangeResult result =
            kcs.exchange(netFn, cmd, data.data(), count == -2 ? static_cast<int32_t>(data.size()) : count, response);
        *length = result.lengthAfter(*length);
        return result.value();
    }
    uint64_t accesses() const { return machine.ports.reads() + machine.ports.writes(); }

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

TEST(KcsExchange, ColdResetOnTheWire) {
    Rig rig;
    rig.ports.keepLog = true;
    int32_t length = kUntouched;
    EXPECT_EQ(rig.exchange(0x18, 0x02, {}, &length), 0);
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
    EXPECT_EQ(rig.ports.log, expected);
    EXPECT_EQ(rig.machine.bmc.coldResets(), 1u);
    EXPECT_EQ(rig.machine.timers.openCount(), 0u);
    EXPECT_EQ(rig.timers.creates, 2);  // one timer event per phase
    EXPECT_EQ(rig.timers.lastArm, 300'000'000u);
    EXPECT_EQ(rig.console.text, "");
}

// Against an instant BMC a request of N bytes (data + 2) costs 4N+8 port
// accesses and a response of R bytes (data + 3) 5R+4; nothing more, and no
// pauses (1 us an access). A request that does not fit is refused before
// any port access.
TEST(KcsExchange, AnswersStayAtTheProtocolFloor) {
    const struct {
        int32_t requestData;
        size_t responseData;
        int code;
        uint64_t accesses;
    } rows[] = {{0, 0, 0xC1, 35}, {1, 1, 0x00, 44}, {0, 3, 0xD5, 50}, {62, 125, 0x00, 908},
                {63, 0, -1, 0},   {64, 0, -1, 0},   {300, 0, -1, 0},  {-1, 0, -1, 0}};
    Rig rig;
    for (const auto& c : rows) {
        SCOPED_TRACE(::testing::Message() << c.requestData << " bytes out, " << c.responseData << " back");
        std::vector<uint8_t> data(300), back(c.responseData);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
        for (size_t i = 0; i < back.size(); ++i) back[i] = static_cast<uint8_t>(0x30 + i);
        rig.answer = bmc::Response{static_cast<uint8_t>(c.code), back};
        std::fill(std::begin(rig.response), std::end(rig.response), 0);
        const uint64_t before = rig.accesses(), start = rig.machine.clock.nowUs();
        int32_t length = kUntouched;
        EXPECT_EQ(rig.exchange(0xF8, 0x70, data, &length, c.requestData), c.code);
        EXPECT_EQ(rig.accesses() - before, c.accesses);
        EXPECT_EQ(rig.machine.clock.nowUs() - start, c.accesses);
        if (c.code == -1) {
            EXPECT_EQ(length, kUntouched);
            continue;
        }
        EXPECT_EQ(rig.lastRequest.data, std::vector<uint8_t>(data.begin(), data.begin() + c.requestData));
        back.push_back(0);  // nothing past the answer
        EXPECT_EQ(std::vector<uint8_t>(rig.response, rig.response + length + 1), back);
    }
    EXPECT_EQ(rig.timers.creates, 8);
    EXPECT_EQ(rig.console.text, "");
}

// A Cold Reset exchange under a fault: a status byte forced at one status
// read (counting from 0: 0 wait before the transfer, 1 after clearing OBF,
// 2/3 after WRITE_START, 4/5 after NetFn/LUN, 6/7 after WRITE_END, then the
// read transfer: 8 wait, 9 state, 10 wait for OBF, ...) or for longer, a
// fault of the simulated BMC, ports where nothing answers, or a timer event
// that cannot be created or armed (which ends the exchange without a message).
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
    int failCreate = -1, failArm = -1;
};

TEST(KcsExchange, FaultsEndAsTheyShould) {
    // clang-format off
    const FaultCase cases[] = {
        {"ibf once before the transfer is waited out", "", 0, 1, 0x02, 0, 0, 7, 0, true},
        // Nothing may be written while OBF is set.
        {"stale byte before write start", "kcs-obf-stuck:1", kForever, 0, 0, -1, kUntouched, 0, 0, true},
        {"idle after write start", "", 2, 1, 0x00, -1, kUntouched, 1, 0, true},
        {"error state passes the write test", "", 2, 1, 0xC0, 0, 0, 7, 0, true},
        {"obf after a request byte", "", 5, 1, 0x01, -1, kUntouched, 2, 0, true},
        {"read state after write end", "", 6, 1, 0x41, -1, kUntouched, 3, 0, true},
        // Given up on at once, not waited out as if the BMC were going idle.
        {"write state in the read transfer", "", 9, kForever, 0x80, -1, -1, 4, 0, false},
        {"error state reads as read state", "", 9, 1, 0xC0, 0, 0, 7, 0, true},
        {"idle too early is a short response", "", 9, 1, 0x01, -1, -1, 4, 0, true},
        {"response of 2 bytes", "kcs-short-response:2:1", kForever, 0, 0, -1, -1, 4 + 2, 0, true},
        {"response of 129 bytes is drained", "kcs-long-response:129:1", kForever, 0, 0, -1, -1, 4 + 129, 0, true},
        // 1025 READs: the drain limit, long before any timer.
        {"endless response ends at the drain limit", "", 8, kForever, 0x41, -1, -1, 4 + 1025, 0, false},
        {"obf never comes in the read transfer", "", 10, kForever, 0x40, -1, -1, 4, 30, false},
        {"ibf stuck", "kcs-ibf-stuck", kForever, 0, 0, -1, kUntouched, 0, 30, false},
        // 20 s of IBF before the transfer, then 20 s of work on the answer.
        {"every wait has its own thirty seconds", "kcs-delay:20000000", 0, kForever, 0x02, 0, 0, 7, 40, true,
         nullptr, 20'000'000'000},
        // The late answer is still on its way: the next exchange waits it out.
        {"slow answer beyond the limit", "kcs-delay:31000000:1", kForever, 0, 0, -1, -1, 4, 30, true},
        // Nothing answers at 0x42/0x43: the ports read 0xFF, IBF set for ever.
        {"wrong ports in kcs.cfg", "", kForever, 0, 0, -1, kUntouched, 0, 30, false, "CMD 43\nDATA 42\n"},
        {"write phase create", "", kForever, 0, 0, -1, kUntouched, 0, 0, true, nullptr, kForever, 0},
        {"first arm", "", kForever, 0, 0, -1, kUntouched, 0, 0, true, nullptr, kForever, -1, 0},
        {"read phase create", "", kForever, 0, 0, -1, -1, 4, 0, true, nullptr, kForever, 1},
        {"read phase arm for obf", "", kForever, 0, 0, -1, -1, 4, 0, true, nullptr, kForever, -1, 5},
    };
    // clang-format on
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        std::string error;
        ASSERT_TRUE(*c.bmcFault == '\0' || rig.machine.applyOption(std::string("--bmc-fault=") + c.bmcFault, &error));
        if (c.kcsCfg != nullptr) rig.files.files["kcs.cfg"] = c.kcsCfg;
        rig.kcs.open();
        rig.ports.forceFrom = c.forceFrom;
        rig.ports.forceCount = c.forceCount;
        rig.ports.forced = c.forced;
        rig.ports.forceUntilNs = c.forceUntilNs;
        rig.timers.failCreate = c.failCreate;
        rig.timers.failArm = c.failArm;
        int32_t length = kUntouched;
        EXPECT_EQ(rig.exchange(0x18, 0x02, {}, &length), c.result);
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(rig.machine.ports.writes(), c.writes);
        EXPECT_EQ(rig.response[0], 0) << "nothing of a failed answer is handed on";
        const bool quiet = c.result == 0 || c.failCreate >= 0 || c.failArm >= 0;
        EXPECT_EQ(rig.console.text, quiet ? "" : kBadState);
        EXPECT_EQ(rig.machine.timers.openCount(), 0u);
        const uint64_t ns = rig.machine.clock.nowNs(), limit = c.seconds * 1'000'000'000ull;
        EXPECT_TRUE(ns >= limit && ns < (c.seconds == 0 ? 1'000'000'000ull : limit + 100'000)) << ns;
        if (!c.recovers) continue;
        // The BMC answers the next request normally: the interface was left usable.
        rig.console.text.clear();
        rig.answer = bmc::Response{0x00, {0x11, 0x22}};
        length = kUntouched;
        EXPECT_EQ(rig.exchange(0xF8, 0x70, {1, 2, 3}, &length), 0);
        EXPECT_TRUE(length == 2 && rig.response[0] == 0x11 && rig.console.text.empty());
    }
}

// kcs.cfg as users write it, and what port set each file gives.
TEST(KcsConfig, GivesThePortSet) {
    const struct {
        const char* file;  // nullptr: there is none
        int64_t command, data;
        size_t readErrorAt = 0;  // non-zero: reading fails after that many bytes
    } cases[] = {
        {nullptr, 0xCA3, 0xCA2},  // the standard ports
        {"\v\fCMD\r\n\t CA3\f\vDATA \n\n CA2 \t", 0xCA3, 0xCA2},
        // Up to four digits of 0-9, A-F, a-f, and anything from '*' to '?' by its low four bits.
        {"CMD 0xCA3\n", 0, 0},
        {"CMD FfFf DATA 12345\n", 0xFFFF, 0x1234},
        {"DATA 00CA2\n", 0, 0xCA},
        {"CMD :;<= DATA *+?/\n", 0xABCD, 0xABFF},
        {"CMD ) DATA @\n", 0, 0},
        {"CMD 1G2 DATA CA3h\n", 1, 0xCA3},
        {"cmd CA3\n", 0, 0},
        {"CMD CA3 DATA 62 CMD CA5", 0xCA5, 0x62},
        {"# ports\nCMD CA3 ; data next\nDATA CA2 end\n", 0xCA3, 0xCA2},
        {"CMD DATA 42\n", 0xDA, 0x42},  // the number reading DATA is the keyword too
        // A keyword as the last token has no number: its port stays as it was.
        {"CMD CA5 DATA CA2 CMD", 0xCA5, 0xCA2},
        {"CMD CA3\nDATA 62 DATA\n", 0xCA3, 0x62},
        // A token longer than 19 characters is cut, not split into two.
        {"xxxxxxxxxxxxxxxxxxxxCMD CA3 DATA CA2\n", 0, 0xCA2},
        {"CMD CA3456789012345678901234567890 DATA CA2\n", 0xCA34, 0xCA2},
        // A read error ends the reading like the end of the file, after "CMD 42 ".
        {"CMD 42 DATA 43\n", 0x42, 0, 7},
    };
    for (const auto& c : cases) {
        test::MemFs fs;
        if (c.file != nullptr) fs.files["kcs.cfg"] = c.file;
        if (c.readErrorAt != 0) fs.failReadAfter.insert("kcs.cfg");
        fs.readErrorAt = c.readErrorAt;
        KcsPortSet ports{1, 2, 3};
        readKcsPortSet(fs, &ports);
        // Command and status are always set together; kcs.cfg is not left open.
        EXPECT_EQ(std::tuple(ports.command, ports.status, ports.data, fs.openNow),
                  std::tuple(c.command, c.command, c.data, 0))
            << (c.file ? c.file : "none");
    }
}

}  // namespace
}  // namespace korvex
