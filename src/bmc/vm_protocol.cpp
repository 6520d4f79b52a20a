#include "bmc/vm_protocol.h"

#include "bmc/app_module.h"

namespace korvex::bmc::vm {

namespace {

constexpr uint8_t kEscapeBit = 0x10;
static_assert(kMaxFrame == 1024, "the drop reason names the limit");

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
    if (byte == kMessageEnd || byte == kControlEnd) {
        const bool overlong = overlong_, escaped = escaped_;
        overlong_ = escaped_ = false;
        if (overlong || escaped) {
            partial_.clear();
            dropReason_ = overlong ? "over 1024 bytes" : "it ends in an escape";
            return Event::Dropped;
        }
        frame_.swap(partial_);
        partial_.clear();
        return byte == kMessageEnd ? Event::Message : Event::Control;
    }
    if (overlong_) return Event::None;  // skipping to the next end marker
    if (byte == kEscape && !escaped_) {
        escaped_ = true;
        return Event::None;
    }
    if (escaped_) {
        escaped_ = false;
        byte = static_cast<uint8_t>(byte & ~kEscapeBit);
    }
    if (partial_.size() == kMaxFrame) {
        overlong_ = true;
        partial_.clear();
        return Event::None;
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

std::vector<uint8_t> encodeControl(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> wire;
    for (uint8_t b : bytes) putEscaped(wire, b);
    wire.push_back(kControlEnd);
    return wire;
}

std::vector<uint8_t> greeting() { return encodeControl({kControlVersion, kProtocolVersion}); }

void Responder::control(const std::vector<uint8_t>& frame) {
    if (frame.size() >= 2 && frame[0] == kControlCapabilities) irqCapable_ = (frame[1] & kCapabilityIrq) != 0;
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
    std::vector<uint8_t> wire;
    const AppModule* app = bmc_.module<AppModule>();
    const bool wanted = irqCapable_ && app != nullptr && app->messageInterruptEnabled();
    if (wanted != irqEnabled_) {
        wire = encodeControl({wanted ? kControlEnableIrq : kControlDisableIrq});
        irqEnabled_ = wanted;
    }
    const std::vector<uint8_t> message = encodeResponse(*in, response);
    wire.insert(wire.end(), message.begin(), message.end());
    return wire;
}

}  // namespace korvex::bmc::vm
