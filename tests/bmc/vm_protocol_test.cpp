// The wire protocol korvex-bmcd speaks with QEMU's external-BMC device.
#include "bmc/vm_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using korvex::bmc::Request;
using korvex::bmc::SimBmc;
using namespace korvex::bmc::vm;
using Bytes = std::vector<uint8_t>;

// A request frame as the decoder hands it on: seq, NetFn/LUN, cmd, checksum.
Bytes frame(uint8_t seq, uint8_t netFnLun, uint8_t cmd) {
    return {seq, netFnLun, cmd, static_cast<uint8_t>(-(seq + netFnLun + cmd))};
}

TEST(VmProtocol, DecodesEscapedBytesAndSkipsControlCommands) {
    // Version and capabilities, as QEMU sends them on connect, then a request
    // of seq 0xA0, NetFn 0x3E, command 0x14, data AA A1 00, checksum 09.
    const Bytes wire = {0xFF, 0x01, 0xA1, 0x08, 0x3F, 0xA1, 0xAA, 0xB0, 0xF8,
                        0x14, 0xAA, 0xBA, 0xAA, 0xB1, 0x00, 0x09, 0xA0};
    Decoder decoder;
    std::vector<Bytes> frames;
    for (uint8_t b : wire)
        if (decoder.feed(b) == Decoder::Event::Message) frames.push_back(decoder.frame());
    ASSERT_EQ(frames.size(), 1u);
    const auto in = parseRequest(frames[0]);
    ASSERT_TRUE(in.has_value());
    EXPECT_EQ(in->seq, 0xA0);
    EXPECT_EQ(in->request.netFn, 0x3E);
    EXPECT_EQ(in->request.command, 0x14);
    EXPECT_EQ(in->request.data, (Bytes{0xAA, 0xA1, 0x00}));
}

TEST(VmProtocol, RefusesShortFramesAndBadChecksums) {
    for (const Bytes& bad : {Bytes{}, Bytes{0x01, 0x18, 0xE7}, Bytes{0x01, 0x18, 0x02, 0xE4}})
        EXPECT_FALSE(parseRequest(bad).has_value()) << bad.size();
    EXPECT_TRUE(parseRequest({0x01, 0x18, 0x02, 0xE5}).has_value());
}

TEST(VmProtocol, ResponseEchoesSeqAndSetsTheResponseNetFn) {
    IncomingRequest in;
    in.seq = 7;
    in.request.netFn = 0x06;
    in.request.lun = 0;
    in.request.command = 0x01;
    const Bytes wire = encodeResponse(in, korvex::bmc::Response{0x00, {0xA0, 0x05}});
    // 7, 0x1C, 0x01, cc 0x00, 0xA0 (escaped), 0x05, checksum, end.
    const uint8_t sum = static_cast<uint8_t>(7 + 0x1C + 0x01 + 0x00 + 0xA0 + 0x05);
    EXPECT_EQ(wire, (Bytes{7, 0x1C, 0x01, 0x00, 0xAA, 0xB0, 0x05, static_cast<uint8_t>(-sum), 0xA0}));
}

// The faults the system tests use: a BMC that falls silent, one that leaves,
// one that breaks the exchange off. The command is unknown to the BMC.
struct ResponderCase {
    const char* name;
    std::optional<uint64_t> stopAfter, exitAfter;
    bool dropExchange;
    const char* answered;  // Y or N for each of five requests
    bool leaving;
};

class VmResponder : public ::testing::TestWithParam<ResponderCase> {};

TEST_P(VmResponder, AnswersAsTold) {
    const ResponderCase& c = GetParam();
    SimBmc bmc;
    if (c.dropExchange)
        bmc.setHandler(0x30, 0x01, [](const Request&) {
            korvex::bmc::Response r;
            r.dropExchange = true;
            return r;
        });
    Responder responder(bmc);
    if (c.stopAfter) responder.stopAfter(*c.stopAfter);
    if (c.exitAfter) responder.exitAfter(*c.exitAfter);
    std::string answered;
    for (uint8_t seq = 0; seq < 5; ++seq) {
        const auto reply = responder.answer(frame(seq, 0x30 << 2, 0x01));
        answered += reply ? 'Y' : 'N';
        if (reply) {
            EXPECT_EQ((Bytes{(*reply)[0], (*reply)[3]}), (Bytes{seq, 0xC1})) << "seq and completion code";
        }
    }
    EXPECT_EQ(answered, c.answered);
    EXPECT_EQ(responder.unanswered(), static_cast<uint64_t>(std::count(answered.begin(), answered.end(), 'N')));
    EXPECT_EQ(responder.leaving(), c.leaving);
}

INSTANTIATE_TEST_SUITE_P(Faults, VmResponder,
                         ::testing::Values(ResponderCase{"plain", {}, {}, false, "YYYYY", false},
                                           ResponderCase{"silent_after_2", 2, {}, false, "YYNNN", false},
                                           ResponderCase{"silent_at_once", 0, {}, false, "NNNNN", false},
                                           ResponderCase{"leaves_after_3", {}, 3, false, "YYYNN", true},
                                           ResponderCase{"leaves_at_once", {}, 0, false, "NNNNN", true},
                                           ResponderCase{"broken_exchange", {}, {}, true, "NNNNN", false}),
                         [](const ::testing::TestParamInfo<ResponderCase>& info) {
                             return std::string(info.param.name);
                         });

// What the decoder hands on for a stream: M<size> a message, C<size> a
// control command, D a dropped frame.
std::string decode(const Bytes& wire) {
    Decoder decoder;
    std::string events;
    for (uint8_t b : wire) {
        switch (decoder.feed(b)) {
            case Decoder::Event::Message:
                events += "M" + std::to_string(decoder.frame().size()) + " ";
                break;
            case Decoder::Event::Control:
                events += "C" + std::to_string(decoder.frame().size()) + " ";
                break;
            case Decoder::Event::Dropped:
                events += "D ";
                break;
            case Decoder::Event::None:
                break;
        }
    }
    return events;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(VmProtocol, DropsOverlongAndBrokenFramesAndResynchronises) {
    const Bytes good = frame(9, 0x06 << 2, 0x01) + Bytes{kMessageEnd};
    const Bytes full(kMaxFrame, 0x11), over(kMaxFrame + 1, 0x11);
    const struct {
        const char* name;
        Bytes wire;
        const char* events;
    } cases[] = {
        {"a frame of the limit is taken", full + Bytes{kMessageEnd} + good, "M1024 M4 "},
        {"one byte over: dropped, the next taken whole", over + Bytes{kMessageEnd} + good, "D M4 "},
        {"an overlong control command too", over + Bytes{kControlEnd} + good, "D M4 "},
        {"an escape before the end marker", Bytes{0x01, kEscape, kMessageEnd} + good, "D M4 "},
        {"an escape before a control end", Bytes{0x08, kEscape, kControlEnd, 0x08, 0x3F, kControlEnd}, "D C2 "},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.wire), c.events) << c.name;
}

// The host's driver sets the message interrupt through the BMC Global
// Enables; the BMC passes it on to QEMU as enable/disable-IRQ commands, which
// go out before the answer.
struct IrqStep {
    uint8_t command;  // App command; 0: QEMU's capabilities, the byte in data
    Bytes data;
    const char* irq;  // "", "on" or "off": the control command before the answer
    uint8_t cc;
    Bytes answer;
};

std::string irqPrefix(const Bytes& reply) {
    if (reply.size() >= 2 && reply[1] == kControlEnd)
        return reply[0] == kControlEnableIrq ? "on" : reply[0] == kControlDisableIrq ? "off" : "?";
    return "";
}

TEST(VmProtocol, DrivesTheKcsInterruptFromTheGlobalEnables) {
    constexpr uint8_t kCaps = 0, kSet = 0x2E, kGet = 0x2F, kClearFlags = 0x30, kGetFlags = 0x31, kColdReset = 0x02;
    const struct {
        const char* name;
        std::vector<IrqStep> steps;
    } scenarios[] = {
        {"a driver loading, then a cold reset",
         {{kCaps, {0x3F}, "", 0, {}},
          {kGet, {}, "", 0x00, {0x08}},
          {kGetFlags, {}, "", 0x00, {0x00}},
          {kClearFlags, {0x08}, "", 0x00, {}},
          {kSet, {0x09}, "on", 0x00, {}},
          {kGet, {}, "", 0x00, {0x09}},
          {kSet, {0x09}, "", 0x00, {}},
          {kSet, {0x0D}, "", 0xCC, {}},  // no event message buffer here
          {kSet, {0x19}, "", 0xCC, {}},  // reserved bit
          {kGet, {}, "", 0x00, {0x09}},
          {kSet, {0x08}, "off", 0x00, {}},
          {kSet, {0x01}, "on", 0x00, {}},
          {kColdReset, {}, "off", 0x00, {}},
          {kGet, {}, "", 0x00, {0x08}}}},
        {"wrong lengths change nothing",
         {{kCaps, {0x04}, "", 0, {}},
          {kSet, {}, "", 0xC7, {}},
          {kSet, {0x09, 0x00}, "", 0xC7, {}},
          {kGet, {0x00}, "", 0xC7, {}},
          {kGetFlags, {0x00}, "", 0xC7, {}},
          {kClearFlags, {}, "", 0xC7, {}},
          {kGet, {}, "", 0x00, {0x08}}}},
        {"QEMU without the interrupt is never told", {{kCaps, {0x3B}, "", 0, {}}, {kSet, {0x09}, "", 0x00, {}}}},
        {"nor before it says what it can", {{kSet, {0x09}, "", 0x00, {}}, {kGet, {}, "", 0x00, {0x09}}}},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.name);
        SimBmc bmc;
        Responder responder(bmc);
        uint8_t seq = 0;
        for (const IrqStep& step : s.steps) {
            if (step.command == kCaps) {
                responder.control({kControlCapabilities, step.data[0]});
                continue;
            }
            Bytes request = {++seq, 0x06 << 2, step.command};
            request = request + step.data;
            uint8_t sum = 0;
            for (uint8_t b : request) sum = static_cast<uint8_t>(sum + b);
            request.push_back(static_cast<uint8_t>(-sum));
            const auto reply = responder.answer(request);
            ASSERT_TRUE(reply.has_value());
            const std::string irq = irqPrefix(*reply);
            EXPECT_EQ(irq, step.irq) << "command " << int(step.command);
            Decoder decoder;
            std::optional<Bytes> message;
            for (uint8_t b : *reply)
                if (decoder.feed(b) == Decoder::Event::Message) message = decoder.frame();
            ASSERT_TRUE(message.has_value());
            // seq, NetFn, command, cc, data..., checksum
            EXPECT_EQ(Bytes(message->begin() + 3, message->end() - 1), Bytes{step.cc} + step.answer)
                << "command " << int(step.command);
        }
    }
}

}  // namespace
