// The BMC side of the KCS system interface: the data and command/status
// registers as a BMC controller drives them, in front of the message-level
// SimBmc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bmc/sim_bmc.h"
#include "platform/sim/sim.h"

namespace korvex::bmc {

class KcsDevice final : public sim::IoDevice {
public:
    KcsDevice(SimBmc& bmc, sim::VirtualClock& clock, uint16_t dataPort = 0xCA2, uint16_t commandPort = 0xCA3);
    bool claims(uint16_t port) const override;
    uint8_t read(uint16_t port) override;
    void write(uint16_t port, uint8_t value) override;

    // Register-level faults, given as --bmc-fault=... ; NotMine for others.
    KnobResult setKnob(std::string_view name, std::string_view value, std::string* error);
    std::string knobHelp() const;

private:
    SimBmc& bmc_;
    sim::VirtualClock& clock_;
    uint16_t dataPort_;
    uint16_t commandPort_;
};

}  // namespace korvex::bmc
