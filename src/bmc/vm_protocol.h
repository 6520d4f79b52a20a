// The byte protocol between QEMU's external-BMC device (ipmi-bmc-extern) and
// a BMC program on the other end of a socket: messages end with 0xA0,
// control commands with 0xA1, and 0xAA escapes the next byte (sent with bit 4
// set). A message is seq, NetFn/LUN, command, data..., checksum, where the
// checksum makes all the bytes add up to 0 modulo 256. A control command is
// its code and, for some, one byte more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "bmc/sim_bmc.h"

namespace korvex::bmc::vm {

inline constexpr uint8_t kMessageEnd = 0xA0;
inline constexpr uint8_t kControlEnd = 0xA1;
inline constexpr uint8_t kEscape = 0xAA;

// Control commands. QEMU sends its version and what it can do when it
// connects; the BMC sends its version, and turns the KCS interrupt on and off.
inline constexpr uint8_t kControlVersion = 0xFF;
inline constexpr uint8_t kProtocolVersion = 1;
inline constexpr uint8_t kControlEnableIrq = 0x05;
inline constexpr uint8_t kControlDisableIrq = 0x06;
inline constexpr uint8_t kControlCapabilities = 0x08;
inline constexpr uint8_t kCapabilityIrq = 0x04;

// The longest frame taken, unescaped, checksum included. QEMU sends at most
// a sequence number, 300 request bytes and the checksum; the rest is margin.
inline constexpr size_t kMaxFrame = 1024;

// Splits the incoming byte stream into frames and undoes the escaping.
// Every end marker ends a frame, so after garbage the next frame is whole.
class Decoder {
public:
    enum class Event : uint8_t { None, Message, Control, Dropped };
    // After Message or Control, frame() holds the frame's bytes (checksum
    // included). Dropped: a frame over kMaxFrame bytes, or one whose last
    // byte was an escape, was thrown away; dropReason() says which.
    Event feed(uint8_t byte);
    const std::vector<uint8_t>& frame() const { return frame_; }
    const char* dropReason() const { return dropReason_; }

private:
    std::vector<uint8_t> partial_;
    std::vector<uint8_t> frame_;
    bool escaped_ = false;
    bool overlong_ = false;
    const char* dropReason_ = "";
};

struct IncomingRequest {
    uint8_t seq = 0;
    Request request;
};

// A message frame as a request; nothing when it is too short or its checksum
// is wrong (a real BMC drops such a frame, and QEMU times the request out).
std::optional<IncomingRequest> parseRequest(const std::vector<uint8_t>& frame);

// The answer as it goes on the wire: escaped, with checksum and end marker.
std::vector<uint8_t> encodeResponse(const IncomingRequest& in, const Response& response);

// A control command as it goes on the wire.
std::vector<uint8_t> encodeControl(std::initializer_list<uint8_t> bytes);

// What the BMC says first on a new connection: its protocol version.
std::vector<uint8_t> greeting();

// The external BMC's policy: the simulated BMC answers, and faults for the
// system tests make it fall silent or leave after a number of requests. It
// also drives the KCS interrupt: when the host turns the message interrupt
// on or off (BMC Global Enables, a cold reset), QEMU is told to, if it said
// it can.
class Responder {
public:
    explicit Responder(SimBmc& bmc) : bmc_(bmc) {}
    // After this many requests answered (0: at once), the rest get no answer.
    void stopAfter(uint64_t requests) { stopAfter_ = requests; }
    // After this many requests answered (0: at once), the BMC goes away.
    void exitAfter(uint64_t requests) { exitAfter_ = requests; }

    // The bytes to send for one message frame; nothing when no answer is due.
    // A change of the interrupt goes out just before the answer, so that the
    // answer itself already raises the interrupt.
    std::optional<std::vector<uint8_t>> answer(const std::vector<uint8_t>& frame);
    // A control command from QEMU; none wants an answer.
    void control(const std::vector<uint8_t>& frame);

    bool leaving() const { return exitAfter_ && answered_ >= *exitAfter_; }
    uint64_t answered() const { return answered_; }
    uint64_t unanswered() const { return unanswered_; }
    bool irqEnabled() const { return irqEnabled_; }

private:
    SimBmc& bmc_;
    std::optional<uint64_t> stopAfter_;
    std::optional<uint64_t> exitAfter_;
    uint64_t answered_ = 0;
    uint64_t unanswered_ = 0;
    bool irqCapable_ = false;  // QEMU announced that it can raise the interrupt
    bool irqEnabled_ = false;  // what QEMU was last told (its default: off)
};

}  // namespace korvex::bmc::vm
