// The byte protocol between QEMU's external-BMC device (ipmi-bmc-extern) and
// a BMC program on the other end of a socket: messages end with 0xA0,
// control commands with 0xA1, and 0xAA escapes the next byte (sent with bit 4
// set). A message is seq, NetFn/LUN, command, data..., checksum, where the
// checksum makes all the bytes add up to 0 modulo 256.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bmc/sim_bmc.h"

namespace korvex::bmc::vm {

inline constexpr uint8_t kMessageEnd = 0xA0;
inline constexpr uint8_t kControlEnd = 0xA1;
inline constexpr uint8_t kEscape = 0xAA;

// Splits the incoming byte stream into frames and undoes the escaping.
class Decoder {
public:
    enum class Event : uint8_t { None, Message, Control };
    // After Message or Control, frame() holds the frame's bytes (checksum included).
    Event feed(uint8_t byte);
    const std::vector<uint8_t>& frame() const { return frame_; }

private:
    std::vector<uint8_t> partial_;
    std::vector<uint8_t> frame_;
    bool escaped_ = false;
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

// The external BMC's policy: the simulated BMC answers, and faults for the
// system tests make it fall silent or leave after a number of requests.
class Responder {
public:
    explicit Responder(SimBmc& bmc) : bmc_(bmc) {}
    // After this many requests answered (0: at once), the rest get no answer.
    void stopAfter(uint64_t requests) { stopAfter_ = requests; }
    // After this many requests answered (0: at once), the BMC goes away.
    void exitAfter(uint64_t requests) { exitAfter_ = requests; }

    // The bytes to send for one frame; nothing when no answer is due.
    std::optional<std::vector<uint8_t>> answer(const std::vector<uint8_t>& frame);
    bool leaving() const { return exitAfter_ && answered_ >= *exitAfter_; }
    uint64_t answered() const { return answered_; }
    uint64_t unanswered() const { return unanswered_; }

private:
    SimBmc& bmc_;
    std::optional<uint64_t> stopAfter_;
    std::optional<uint64_t> exitAfter_;
    uint64_t answered_ = 0;
    uint64_t unanswered_ = 0;
};

}  // namespace korvex::bmc::vm
