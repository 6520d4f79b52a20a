#include "bmc/kcs_device.h"

#include "transport/kcs.h"

// A controller in the manner of the ones BMCs carry: every host write sets
// IBF until the BMC takes the byte, and every byte taken in the write state
// puts a dummy byte out (OBF), which the host must read away. An instant BMC
// takes bytes at once; only the last request byte keeps IBF set while the
// BMC works on the message.
namespace korvex::bmc {

namespace {

// Status codes a controller hands out on the way out of the error state.
constexpr uint8_t kAbortedByCommand = 0x01;
constexpr uint8_t kIllegalControlCode = 0x02;
constexpr uint8_t kLengthError = 0x06;
constexpr uint8_t kUnspecifiedError = 0xFF;

// Longest request a controller buffers, as IPMI's message size allows.
constexpr size_t kMaxRequestBytes = 272;
// Response padding: a distinctive byte, so that padding shows.
constexpr uint8_t kFiller = 0xCC;
constexpr uint64_t kMaxResponseBytes = 65535;

}  // namespace

KcsDevice::KcsDevice(SimBmc& bmc, sim::VirtualClock& clock, uint16_t dataPort, uint16_t commandPort)
    : bmc_(bmc), clock_(clock), dataPort_(dataPort), commandPort_(commandPort) {}

bool KcsDevice::claims(uint16_t port) const { return port == dataPort_ || port == commandPort_; }

uint8_t KcsDevice::statusByte() const {
    static constexpr uint8_t kStateBits[] = {kcs::kIdleState, kcs::kReadState, kcs::kWriteState, kcs::kErrorState};
    uint8_t status = kStateBits[static_cast<int>(state_)];
    if (obf_) status |= kcs::kObf;
    if (hung_ || working_) status |= kcs::kIbf;
    return status;
}

uint8_t KcsDevice::read(uint16_t port) {
    answerIfDue();
    if (port != dataPort_) return statusByte();
    // obf-stuck: the BMC puts a stale byte back as soon as the host has read one.
    if (state_ == State::Idle && obfStuck_.appliesTo(requests_ + 1) && (obfStuck_.nth == 0 || !staleByteSpent_)) {
        staleByteSpent_ = true;
        obf_ = true;
        return dataOut_;
    }
    obf_ = false;
    return dataOut_;
}

void KcsDevice::write(uint16_t port, uint8_t value) {
    answerIfDue();
    // IBF is set: a controller drops what the host writes now.
    if (hung_ || working_) return;
    if (port == commandPort_) {
        if (value == kcs::kWriteStart && ibfStuck_.appliesTo(requests_ + 1)) {
            hung_ = true;
            return;
        }
        controlCode(value);
    } else {
        dataByte(value);
    }
}

void KcsDevice::controlCode(uint8_t code) {
    switch (code) {
        case kcs::kWriteStart:
            // Taken in any state: a host may give up on a transfer and start over.
            ++requests_;
            state_ = State::Write;
            inbox_.clear();
            outbox_.clear();
            writeEndSeen_ = false;
            dataOut_ = 0;
            obf_ = true;
            return;
        case kcs::kWriteEnd:
            if (state_ == State::Write && !writeEndSeen_ && !inbox_.empty()) {
                writeEndSeen_ = true;
                dataOut_ = 0;
                obf_ = true;
                return;
            }
            enterError(kIllegalControlCode);
            return;
        case kcs::kGetStatusAbort:
            inbox_.clear();
            outbox_.clear();
            enterError(kAbortedByCommand);
            return;
        default:
            enterError(kIllegalControlCode);
            return;
    }
}

void KcsDevice::dataByte(uint8_t value) {
    switch (state_) {
        case State::Idle:
            enterError(kUnspecifiedError);
            return;
        case State::Write:
            if (inbox_.size() >= kMaxRequestBytes) {
                enterError(kLengthError);
                return;
            }
            inbox_.push_back(value);
            if (writeEndSeen_) {
                deliver();
                return;
            }
            dataOut_ = 0;
            obf_ = true;
            return;
        case State::Read:
            if (value != kcs::kRead) {
                enterError(kIllegalControlCode);
                return;
            }
            handOutNext();
            return;
        case State::Error:
            // The way out: the error code as a one-byte response, then idle.
            outbox_.assign(1, errorCode_);
            outPos_ = 0;
            state_ = State::Read;
            handOutNext();
            return;
    }
}

void KcsDevice::enterError(uint8_t code) {
    state_ = State::Error;
    errorCode_ = code;
    writeEndSeen_ = false;
    dataOut_ = 0;
    obf_ = true;
}

// The last request byte is in: the message goes to the BMC, which answers
// now or, with a delay, when the clock gets there.
void KcsDevice::deliver() {
    const uint64_t request = requests_;
    working_ = true;
    writeEndSeen_ = false;
    answerAtNs_ = clock_.nowNs() + (delay_.appliesTo(request) ? delay_.value * 1000 : 0);
    answerIsError_ = errorState_.appliesTo(request);
    outbox_.clear();
    if (!answerIsError_) {
        // The write transfer needs a byte before WRITE_END and one after it.
        Request message;
        message.netFn = inbox_[0] >> 2;
        message.lun = inbox_[0] & 3;
        message.command = inbox_[1];
        message.data.assign(inbox_.begin() + 2, inbox_.end());
        const Response response = bmc_.handle(message);
        // The BMC breaks this exchange off: the host sees the error state.
        answerIsError_ = response.dropExchange;
        outbox_.push_back(static_cast<uint8_t>(((message.netFn + 1) & 0x3F) << 2 | message.lun));
        outbox_.push_back(message.command);
        outbox_.push_back(response.completionCode);
        outbox_.insert(outbox_.end(), response.data.begin(), response.data.end());
        if (longResponse_.appliesTo(request) && outbox_.size() < longResponse_.value)
            outbox_.resize(longResponse_.value, kFiller);
        if (shortResponse_.appliesTo(request) && outbox_.size() > shortResponse_.value)
            outbox_.resize(shortResponse_.value);
    }
    inbox_.clear();
    answerIfDue();
}

void KcsDevice::answerIfDue() {
    if (!working_ || clock_.nowNs() < answerAtNs_) return;
    working_ = false;
    if (answerIsError_) {
        enterError(kUnspecifiedError);
        return;
    }
    state_ = State::Read;
    outPos_ = 0;
    handOutNext();
}

// Puts the next response byte out; after the last one the controller goes
// idle with a dummy byte (the last byte again) to end the transfer.
void KcsDevice::handOutNext() {
    if (outPos_ < outbox_.size())
        dataOut_ = outbox_[outPos_++];
    else
        state_ = State::Idle;
    obf_ = true;
}

KnobResult KcsDevice::setFault(std::string_view value, std::string* error) {
    // WORD[:NUMBER][:NUMBER]
    const size_t colon = value.find(':');
    const std::string_view word = value.substr(0, colon);
    std::vector<uint64_t> numbers;
    const bool numbersOk = colon == std::string_view::npos || parseKnobNumbers(value.substr(colon + 1), &numbers);
    struct Kind {
        std::string_view name;
        Fault KcsDevice::*fault;
        bool takesValue;
        uint64_t minValue;
        uint64_t maxValue;
        const char* usage;
    };
    static const Kind kKinds[] = {
        {"ibf-stuck", &KcsDevice::ibfStuck_, false, 0, 0, "fault ibf-stuck wants [:N], e.g. ibf-stuck or ibf-stuck:3"},
        {"delay", &KcsDevice::delay_, true, 0, UINT64_MAX / 1000,
         "fault delay wants MICROSECONDS[:N], e.g. delay:2000000 or delay:45000000:3"},
        {"error-state", &KcsDevice::errorState_, false, 0, 0,
         "fault error-state wants [:N], e.g. error-state or error-state:2"},
        {"long-response", &KcsDevice::longResponse_, true, 129, kMaxResponseBytes,
         "fault long-response wants BYTES[:N] with BYTES from 129 to 65535, e.g. long-response:200"},
        {"short-response", &KcsDevice::shortResponse_, true, 0, 2,
         "fault short-response wants BYTES[:N] with BYTES from 0 to 2, e.g. short-response:2"},
        {"obf-stuck", &KcsDevice::obfStuck_, false, 0, 0, "fault obf-stuck wants [:N], e.g. obf-stuck or obf-stuck:2"},
    };
    for (const Kind& kind : kKinds) {
        if (word != kind.name) continue;
        const size_t wanted = kind.takesValue ? 1 : 0;
        Fault fault;
        fault.on = true;
        bool ok = numbersOk && numbers.size() >= wanted && numbers.size() <= wanted + 1;
        if (ok && kind.takesValue) {
            fault.value = numbers[0];
            ok = fault.value >= kind.minValue && fault.value <= kind.maxValue;
        }
        if (ok && numbers.size() > wanted) {
            fault.nth = numbers[wanted];
            ok = fault.nth >= 1;
        }
        if (!ok) {
            *error = kind.usage;
            return KnobResult::Bad;
        }
        this->*kind.fault = fault;
        if (kind.fault == &KcsDevice::ibfStuck_ && fault.nth == 0) hung_ = true;
        return KnobResult::Ok;
    }
    return KnobResult::NotMine;
}

KnobResult KcsDevice::setKnob(std::string_view name, std::string_view value, std::string* error) {
    if (name != "fault") return KnobResult::NotMine;
    return setFault(value, error);
}

std::string KcsDevice::knobHelp() const {
    return "  --bmc-fault=ibf-stuck[:N]\n"
           "                         the KCS interface never clears IBF again, from the\n"
           "                         start or from the N-th request on\n"
           "  --bmc-fault=delay:MICROSECONDS[:N]\n"
           "                         the BMC takes that much virtual time to answer every\n"
           "                         request, or only the N-th\n"
           "  --bmc-fault=error-state[:N]\n"
           "                         the KCS interface goes to the error state instead of\n"
           "                         answering every request, or only the N-th\n"
           "  --bmc-fault=long-response:BYTES[:N]\n"
           "                         pad the response on the wire to BYTES bytes (129 to\n"
           "                         65535) with 0xCC, every time or only the N-th time\n"
           "  --bmc-fault=short-response:BYTES[:N]\n"
           "                         cut the response on the wire to BYTES bytes (0 to 2),\n"
           "                         every time or only the N-th time\n"
           "  --bmc-fault=obf-stuck[:N]\n"
           "                         a stale byte stays in the output register before\n"
           "                         every request, or once before the N-th\n"
           "                         (requests count from 1, in the order the host\n"
           "                         starts them with WRITE_START)\n";
}

}  // namespace korvex::bmc
