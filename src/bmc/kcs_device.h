// The BMC side of the KCS system interface: the data and command/status
// registers as a BMC controller drives them, in front of the message-level
// SimBmc.
#pragma once

#include <cstdint>
#include <vector>

#include "bmc/sim_bmc.h"
#include "platform/sim/sim.h"

namespace korvex::bmc {

class KcsDevice final : public sim::IoDevice {
public:
    KcsDevice(SimBmc& bmc, sim::VirtualClock& clock, uint16_t dataPort = 0xCA2, uint16_t commandPort = 0xCA3);
    bool claims(uint16_t port) const override;
    uint8_t read(uint16_t port) override;
    void write(uint16_t port, uint8_t value) override;

    // Register-level faults (the kcs- knobs of bmc/knobs.h), each on every
    // request (nth 0) or on the nth only; value is the fault's own number.
    enum class Fault : uint8_t { IbfStuck, Delay, ErrorState, LongResponse, ShortResponse, ObfStuck };
    void setFault(Fault fault, uint64_t value, uint64_t nth);

    // Transfers the host has begun with WRITE_START so far; faults limited
    // to the N-th request count the same way, from 1.
    uint64_t requests() const { return requests_; }

private:
    enum class State : uint8_t {
        Idle,   // between messages; a data byte here is a protocol violation
        Read,   // handing out the response, one byte per READ
        Write,  // taking a request, up to WRITE_END and one byte after it
        Error,  // gave up on the transfer; a data byte hands out the error code
    };

    // A fault: off, on for every request (nth 0), or on for the nth only.
    struct FaultSetting {
        bool on = false;
        uint64_t nth = 0;
        uint64_t value = 0;
        bool appliesTo(uint64_t request) const { return on && (nth == 0 || nth == request); }
    };

    void controlCode(uint8_t code);
    void dataByte(uint8_t value);
    void deliver();
    void answerIfDue();
    void handOutNext();
    void enterError(uint8_t code);
    uint8_t statusByte() const;

    SimBmc& bmc_;
    sim::VirtualClock& clock_;
    uint16_t dataPort_;
    uint16_t commandPort_;

    State state_ = State::Idle;
    bool obf_ = false;
    uint8_t dataOut_ = 0;    // what a read of the data register gives
    uint8_t errorCode_ = 0;  // handed out on the way out of the error state
    bool writeEndSeen_ = false;
    std::vector<uint8_t> inbox_;   // request bytes taken so far
    std::vector<uint8_t> outbox_;  // response bytes on the wire
    size_t outPos_ = 0;
    // The message is with the BMC: IBF stays set until answerAtNs_.
    bool working_ = false;
    bool answerIsError_ = false;
    uint64_t answerAtNs_ = 0;
    bool hung_ = false;  // never takes a byte again: IBF for good
    bool staleByteSpent_ = false;
    uint64_t requests_ = 0;

    FaultSetting ibfStuck_;
    FaultSetting delay_;
    FaultSetting errorState_;
    FaultSetting longResponse_;
    FaultSetting shortResponse_;
    FaultSetting obfStuck_;
};

}  // namespace korvex::bmc
