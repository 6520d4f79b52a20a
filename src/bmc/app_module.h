// The standard App requests every BMC answers: Get Device ID, Cold Reset, and
// what a host's IPMI driver asks at start to set up its interrupt: the BMC
// Global Enables and the message flags.
#pragma once

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class AppModule final : public BmcModule {
public:
    void install(SimBmc& bmc) override;

    // Bit 0 of the Global Enables: the host wants the interrupt that tells it
    // an answer is ready (the KCS output buffer full).
    bool messageInterruptEnabled() const { return (globalEnables_ & kReceiveMessageInterrupt) != 0; }

    static constexpr uint8_t kReceiveMessageInterrupt = 0x01;
    static constexpr uint8_t kSystemEventLogging = 0x08;
    // What this BMC can turn on: it has no event message buffer (bits 1 and
    // 2) and no OEM functions (bits 5 to 7); bit 4 is reserved.
    static constexpr uint8_t kSupportedEnables = kReceiveMessageInterrupt | kSystemEventLogging;
    // At power-up and after a cold reset: event logging on, interrupts off.
    static constexpr uint8_t kDefaultEnables = kSystemEventLogging;

private:
    Response setGlobalEnables(const Request& request);
    Response clearMessageFlags(const Request& request);

    uint8_t globalEnables_ = kDefaultEnables;
    // Nothing here raises a flag (no receive queue, no event buffer, no
    // watchdog), so they stay clear; Clear Message Flags is still honoured.
    uint8_t messageFlags_ = 0;
};

}  // namespace korvex::bmc
