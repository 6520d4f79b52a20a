// The wire protocol korvex-bmcd speaks with QEMU's external-BMC device.
#include "bmc/vm_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using korvex::bmc::Request;
using korvex::bmc::SimBmc;
using namespace korvex::bmc::vm;
using Bytes = std::vector<uint8_t>;

// What QEMU sends for a request: seq, NetFn/LUN, cmd, data, checksum, escaped.
Bytes wireRequest(uint8_t seq, uint8_t netFn, uint8_t cmd, const Bytes& data) {
    Bytes m = {seq, static_cast<uint8_t>(netFn << 2), cmd};
    m.insert(m.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : m) sum = static_cast<uint8_t>(sum + b);
    m.push_back(static_cast<uint8_t>(-sum));
    Bytes wire;
    for (uint8_t b : m) {
        if (b == 0xA0 || b == 0xA1 || b == 0xAA) {
            wire.push_back(0xAA);
            b = static_cast<uint8_t>(b | 0x10);
        }
        wire.push_back(b);
    }
    wire.push_back(0xA0);
    return wire;
}

std::vector<Bytes> messages(Decoder& decoder, const Bytes& wire) {
    std::vector<Bytes> out;
    for (uint8_t b : wire)
        if (decoder.feed(b) == Decoder::Event::Message) out.push_back(decoder.frame());
    return out;
}

TEST(VmProtocol, DecodesEscapedBytesAndSkipsControlCommands) {
    Decoder decoder;
    // Version and capabilities, as QEMU sends them on connect, then a request
    // whose seq, data and checksum need escaping.
    Bytes wire = {0xFF, 0x01, 0xA1, 0x08, 0x3F, 0xA1};
    const Bytes request = wireRequest(0xA0, 0x3E, 0x14, {0xAA, 0xA1, 0x00});
    wire.insert(wire.end(), request.begin(), request.end());
    const auto frames = messages(decoder, wire);
    ASSERT_EQ(frames.size(), 1u);
    const auto in = parseRequest(frames[0]);
    ASSERT_TRUE(in.has_value());
    EXPECT_EQ(in->seq, 0xA0);
    EXPECT_EQ(in->request.netFn, 0x3E);
    EXPECT_EQ(in->request.command, 0x14);
    EXPECT_EQ(in->request.data, (Bytes{0xAA, 0xA1, 0x00}));
}

TEST(VmProtocol, RefusesShortFramesAndBadChecksums) {
    struct Case {
        const char* what;
        Bytes frame;
    };
    const Case cases[] = {
        {"empty", {}},
        {"no command", {0x01, 0x18, 0xE7}},
        {"checksum off by one", {0x01, 0x18, 0x02, 0xE4}},
    };
    for (const Case& c : cases) EXPECT_FALSE(parseRequest(c.frame).has_value()) << c.what;
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

// The faults the system tests use: a BMC that falls silent, one that leaves.
TEST(VmProtocol, ResponderStopsOrLeavesAfterTheGivenCount) {
    SimBmc bmc;
    Decoder decoder;
    Bytes wire;
    for (uint8_t seq = 0; seq < 5; ++seq) {
        const Bytes r = wireRequest(seq, 0x06, 0x01, {});
        wire.insert(wire.end(), r.begin(), r.end());
    }
    const auto frames = messages(decoder, wire);
    ASSERT_EQ(frames.size(), 5u);

    Responder silent(bmc);
    silent.stopAfter(2);
    int answers = 0;
    for (const Bytes& f : frames) answers += silent.answer(f).has_value();
    EXPECT_EQ(answers, 2);
    EXPECT_EQ(silent.unanswered(), 3u);
    EXPECT_FALSE(silent.leaving());

    Responder leaving(bmc);
    leaving.exitAfter(3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(leaving.leaving());
        EXPECT_TRUE(leaving.answer(frames[i]).has_value());
    }
    EXPECT_TRUE(leaving.leaving());
    EXPECT_FALSE(leaving.answer(frames[3]).has_value());

    Responder mute(bmc);
    mute.stopAfter(0);
    EXPECT_FALSE(mute.answer(frames[0]).has_value());
    Responder gone(bmc);
    gone.exitAfter(0);
    EXPECT_TRUE(gone.leaving());
    Responder plain(bmc);
    for (const Bytes& f : frames) EXPECT_TRUE(plain.answer(f).has_value());
    EXPECT_FALSE(plain.leaving());
}

TEST(VmProtocol, ABrokenExchangeGetsNoAnswer) {
    SimBmc bmc;
    bmc.setHandler(0x30, 0x01, [](const Request&) {
        korvex::bmc::Response r;
        r.dropExchange = true;
        return r;
    });
    Responder responder(bmc);
    Decoder decoder;
    const auto frames = messages(decoder, wireRequest(1, 0x30, 0x01, {}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(responder.answer(frames[0]).has_value());
    EXPECT_EQ(responder.unanswered(), 1u);
    EXPECT_FALSE(responder.leaving());
}

TEST(VmProtocol, UnknownRequestsGetInvalidCommand) {
    SimBmc bmc;
    Responder responder(bmc);
    Decoder decoder;
    const auto frames = messages(decoder, wireRequest(1, 0x30, 0x99, {}));
    ASSERT_EQ(frames.size(), 1u);
    const auto reply = responder.answer(frames[0]);
    ASSERT_TRUE(reply.has_value());
    ASSERT_GE(reply->size(), 5u);
    EXPECT_EQ((*reply)[3], 0xC1);
}

}  // namespace
