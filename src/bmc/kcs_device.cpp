#include "bmc/kcs_device.h"

// Placeholder until the KCS register model lands: reads as an absent device.
namespace korvex::bmc {

KcsDevice::KcsDevice(SimBmc& bmc, sim::VirtualClock& clock, uint16_t dataPort, uint16_t commandPort)
    : bmc_(bmc), clock_(clock), dataPort_(dataPort), commandPort_(commandPort) {}

bool KcsDevice::claims(uint16_t port) const { return port == dataPort_ || port == commandPort_; }

uint8_t KcsDevice::read(uint16_t) { return 0xFF; }

void KcsDevice::write(uint16_t, uint8_t) {}

KnobResult KcsDevice::setKnob(std::string_view, std::string_view, std::string*) { return KnobResult::NotMine; }

std::string KcsDevice::knobHelp() const { return {}; }

}  // namespace korvex::bmc
