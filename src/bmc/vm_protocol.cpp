#include "bmc/vm_protocol.h"

namespace korvex::bmc::vm {

namespace {

constexpr uint8_t kEscapeBit = 0x10;

uint8_t checksum(const std::vector<uint8_t>& bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(-sum);
}

void putEscaped(std::vector<uint8_t>& out, uint8_t byte) {
    if (byte == kMessageEnd || byte == kControlEnd || byte == kEscape) {
        out.push_back(kEscape);
        byte = static_cast<uint8_t>(byte | kEscapeBit);
    }
    out.push_back(byte);
}

}  // namespace

Decoder::Event Decoder::feed(uint8_t byte) {
    if (escaped_) {
        escaped_ = false;
        partial_.push_back(static_cast<uint8_t>(byte & ~kEscapeBit));
        return Event::None;
    }
    if (byte == kEscape) {
        escaped_ = true;
        return Event::None;
    }
    if (byte == kMessageEnd || byte == kControlEnd) {
        frame_.swap(partial_);
        partial_.clear();
        return byte == kMessageEnd ? Event::Message : Event::Control;
    }
    partial_.push_back(byte);
    return Event::None;
}

std::optional<IncomingRequest> parseRequest(const std::vector<uint8_t>& frame) {
    // seq, NetFn/LUN, command, checksum at the least.
    if (frame.size() < 4 || checksum(frame, frame.size() - 1) != frame.back()) return std::nullopt;
    IncomingRequest in;
    in.seq = frame[0];
    in.request.netFn = static_cast<uint8_t>(frame[1] >> 2);
    in.request.lun = static_cast<uint8_t>(frame[1] & 0x03);
    in.request.command = frame[2];
    in.request.data.assign(frame.begin() + 3, frame.end() - 1);
    return in;
}

std::vector<uint8_t> encodeResponse(const IncomingRequest& in, const Response& response) {
    std::vector<uint8_t> message;
    message.push_back(in.seq);
    message.push_back(static_cast<uint8_t>(((in.request.netFn | 1) << 2) | in.request.lun));
    message.push_back(in.request.command);
    message.push_back(response.completionCode);
    message.insert(message.end(), response.data.begin(), response.data.end());
    message.push_back(checksum(message, message.size()));

    std::vector<uint8_t> wire;
    for (uint8_t b : message) putEscaped(wire, b);
    wire.push_back(kMessageEnd);
    return wire;
}

std::optional<std::vector<uint8_t>> Responder::answer(const std::vector<uint8_t>& frame) {
    std::optional<IncomingRequest> in = parseRequest(frame);
    if (!in) return std::nullopt;
    if (leaving() || (stopAfter_ && answered_ >= *stopAfter_)) {
        ++unanswered_;
        return std::nullopt;
    }
    const Response response = bmc_.handle(in->request);
    // A broken exchange: QEMU hears nothing and answers the host 0xC3 itself.
    if (response.dropExchange) {
        ++unanswered_;
        return std::nullopt;
    }
    ++answered_;
    return encodeResponse(*in, response);
}

}  // namespace korvex::bmc::vm
