// A whole simulated server for one run of the tool: virtual clock, port bus,
// timers, pause, and the BMC behind its KCS interface at 0xCA2/0xCA3. The
// console, files and memory are the caller's, and so are the stop requests
// if the caller has any (by default nothing asks the run to stop).
#pragma once

#include <string>
#include <string_view>

#include "bmc/kcs_device.h"
#include "bmc/sim_bmc.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace korvex::bmc {

class SimMachine {
public:
    SimMachine(Console& console, FileSystem& files, Memory& memory, uint64_t portAccessCostNs = 1000);

    // One "--bmc-..." option (bmc/knobs.h); false with *error set when it is not understood.
    bool applyOption(std::string_view option, std::string* error);
    Platform platform() { return Platform{ports, timers, stall, console_, files_, memory_, *stops_}; }
    void setStops(StopRequests& stops) { stops_ = &stops; }
    // Saves what the options asked to be saved, when the run is over.
    bool finish(std::string* error) { return bmc.finish(error); }
    // The four lines of --stats.
    std::string stats() const;

    sim::VirtualClock clock;
    sim::SimPorts ports;
    sim::SimTimers timers;
    sim::SimStall stall;
    SimBmc bmc;
    KcsDevice kcs;

private:
    Console& console_;
    FileSystem& files_;
    Memory& memory_;
    NeverStop neverStop_;
    StopRequests* stops_ = &neverStop_;
};

}  // namespace korvex::bmc
