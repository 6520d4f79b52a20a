// The framing of the wire protocol korvex-bmcd speaks with QEMU's external-BMC
// device: a QEMU case that loses a frame only shows a timeout.
#include "bmc/vm_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvex::bmc::vm {
namespace {

using Bytes = std::vector<uint8_t>;

// What the decoder hands on for a stream: each message as the request it
// carries ("seq netfn cmd: data", or "bad" when refused), C<size> a control
// command, D a dropped frame.
std::string decode(const Bytes& wire) {
    Decoder decoder;
    std::string events;
    char text[16];
    for (uint8_t b : wire) {
        const Decoder::Event e = decoder.feed(b);
        if (e == Decoder::Event::Message) {
            const auto in = parseRequest(decoder.frame());
            if (!in) {
                events += "bad ";
                continue;
            }
            std::snprintf(text, sizeof text, "%02x %02x %02x:", in->seq, in->request.netFn, in->request.command);
            events += text;
            for (uint8_t d : in->request.data) events += (std::snprintf(text, sizeof text, " %02x", d), text);
            events += ", ";
        } else if (e != Decoder::Event::None) {
            events += e == Decoder::Event::Control ? "C" + std::to_string(decoder.frame().size()) + " " : "D ";
        }
    }
    return events;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(VmProtocol, DecodesFramesAndResynchronises) {
    const Bytes good = {9, 0x18, 0x01, 0xDE, kMessageEnd};  // seq 9, NetFn 6, command 1, no data
    Bytes full(kMaxFrame, 0x11), over(kMaxFrame + 1, 0x11);
    full[0] = 0x12;  // a checksum that fails, so the frame shows as one refused message
    const struct {
        Bytes wire;
        const char* events;
    } rows[] = {
        // clang-format off
        // QEMU's version and capabilities on connect, then seq 0xA0, NetFn 0x3E,
        // command 0x14, data AA A1 00: escaped bytes in every field.
        {{0xFF, 0x01, 0xA1, 0x08, 0x3F, 0xA1, 0xAA, 0xB0, 0xF8, 0x14, 0xAA, 0xBA, 0xAA, 0xB1, 0x00, 0x09, 0xA0},
         "C2 C2 a0 3e 14: aa a1 00, "},
        {Bytes{kMessageEnd, 0x01, 0x18, 0xE7, kMessageEnd, 0x01, 0x18, 0x02, 0xE4, kMessageEnd} + good,
         "bad bad bad 09 06 01:, "},  // empty, short, a wrong checksum
        {full + Bytes{kMessageEnd} + good, "bad 09 06 01:, "},  // the limit is taken
        {over + Bytes{kMessageEnd} + good, "D 09 06 01:, "},
        {over + Bytes{kControlEnd} + good, "D 09 06 01:, "},
        {Bytes{0x01, kEscape, kMessageEnd} + good, "D 09 06 01:, "},
        {Bytes{0x08, kEscape, kControlEnd, 0x08, 0x3F, kControlEnd}, "D C2 "},
        // clang-format on
    };
    for (const auto& row : rows) EXPECT_EQ(decode(row.wire), row.events);

    // The answer echoes seq, sets the response bit of the NetFn, escapes.
    IncomingRequest in;
    in.seq = 7;
    in.request.netFn = 0x06;
    in.request.command = 0x01;
    const uint8_t sum = static_cast<uint8_t>(7 + 0x1C + 0x01 + 0x00 + 0xA0 + 0x05);
    EXPECT_EQ(encodeResponse(in, Response{0x00, {0xA0, 0x05}}),
              (Bytes{7, 0x1C, 0x01, 0x00, 0xAA, 0xB0, 0x05, static_cast<uint8_t>(-sum), 0xA0}));
}

}  // namespace
}  // namespace korvex::bmc::vm
