#include "bmc/sim_machine.h"

namespace korvex::bmc {

SimMachine::SimMachine(Console& console, FileSystem& files, Memory& memory, uint64_t portAccessCostNs)
    : ports(clock, portAccessCostNs),
      timers(clock),
      stall(clock),
      kcs(bmc, clock),
      console_(console),
      files_(files),
      memory_(memory) {
    ports.attach(kcs);
}

bool SimMachine::applyOption(std::string_view option, std::string* error) {
    if (option.substr(0, 6) == "--bmc-") {
        std::string_view rest = option.substr(6);
        size_t eq = rest.find('=');
        std::string_view value = eq == std::string_view::npos ? std::string_view() : rest.substr(eq + 1);
        KnobResult r = kcs.setKnob(rest.substr(0, eq), value, error);
        if (r == KnobResult::Ok) return true;
        if (r == KnobResult::Bad) {
            *error = std::string(option) + ": " + *error;
            return false;
        }
    }
    return bmc.applyOption(option, error);
}

std::string SimMachine::optionHelp() const { return kcs.knobHelp() + bmc.optionHelp(); }

std::string SimMachine::stats() const {
    return "exchanges: " + std::to_string(bmc.exchanges()) + "\nport reads: " + std::to_string(ports.reads()) +
           "\nport writes: " + std::to_string(ports.writes()) + "\nvirtual time: " + std::to_string(clock.nowUs()) +
           " us\n";
}

}  // namespace korvex::bmc
