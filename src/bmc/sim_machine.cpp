#include "bmc/sim_machine.h"

#include "bmc/knobs.h"

namespace korvex::bmc {

SimMachine::SimMachine(Console& console, FileSystem& files, Memory& memory, uint64_t portAccessCostNs)
    : ports(clock, portAccessCostNs), timers(clock), stall(clock), kcs(bmc, clock), console_(console), files_(files),
      memory_(memory) {
    ports.attach(kcs);
}

bool SimMachine::applyOption(std::string_view option, std::string* error) {
    return applyKnob(KnobTarget{bmc, &kcs}, option, error);
}

std::string SimMachine::stats() const {
    return "exchanges: " + std::to_string(bmc.exchanges()) + "\nport reads: " + std::to_string(ports.reads()) +
           "\nport writes: " + std::to_string(ports.writes()) + "\nvirtual time: " + std::to_string(clock.nowUs()) +
           " us\n";
}

}  // namespace korvex::bmc
