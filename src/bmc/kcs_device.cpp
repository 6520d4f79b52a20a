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

void KcsDevice::setFault(Fault fault, uint64_t value, uint64_t nth) {
    FaultSetting* const settings[] = {&ibfStuck_, &delay_, &errorState_, &longResponse_, &shortResponse_, &obfStuck_};
    *settings[static_cast<size_t>(fault)] = FaultSetting{true, nth, value};
    // Stuck from the start: IBF is set before the host writes anything.
    if (fault == Fault::IbfStuck && nth == 0) hung_ = true;
}

}  // namespace korvex::bmc
