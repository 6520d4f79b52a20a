// One job run against the simulated BMC through the loopback transport:
// everything a job needs, with real files in a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "support/capture.h"
#include "support/fault_rig.h"
#include "support/loopback.h"

namespace korvex::test {

struct JobRig {
    CaptureConsole console;
    CountingFiles files;  // real files, with write failures on demand
    CountingMemory memory;
    sim::VirtualClock clock;
    sim::SimPorts ports{clock};
    sim::SimTimers timers{clock};
    sim::SimStall stall{clock};
    bmc::SimBmc bmc;
    LoopbackTransport transport{bmc};
    FakeStops stops{bmc};

    Platform platform() { return Platform{ports, timers, stall, console, files, memory, stops}; }

    void options(const std::vector<std::string>& bmcOptions) {
        for (const std::string& o : bmcOptions) {
            std::string error;
            ASSERT_TRUE(bmc.applyOption(o, &error)) << error;
        }
    }

    // A file name in the test's scratch folder.
    static std::string path(const std::string& name) { return scratchPath(name); }
};

}  // namespace korvex::test
