// The simulated BMC's knobs, as korvex-sim and korvex-bmcd take them:
//   --bmc-SETTING=VALUE        a value the BMC works with (--bmc-dump-length=112)
//   --bmc-fault=FAULT[:ARGS]   something it gets wrong; FAULT is JOB-WHAT, the
//                              job one of kcs, request, update, dump, config
//                              (--bmc-fault=update-drop:receive-fw-data:2)
// Requests go by name: the request's name in lower case, a hyphen between
// its words (GetFWUpdateInfo: get-fw-update-info). Numbers are decimal, or
// hexadecimal with 0x. One table holds every knob: its name, its arguments,
// its help and its effect; the parser and the help both walk it.
#pragma once

#include <string>
#include <string_view>

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class KcsDevice;

// What a knob may change: the BMC, and its KCS controller where there is one
// (korvex-sim has one; behind korvex-bmcd, QEMU plays the controller).
struct KnobTarget {
    SimBmc& bmc;
    KcsDevice* kcs;
};

// One "--bmc-..." option; false with *error set (naming the option) when it
// is not understood.
bool applyKnob(const KnobTarget& target, std::string_view option, std::string* error);

// The settings and the fault syntax, for --help; every fault, for --help-faults.
// withKcs: the faults of the KCS controller are there too.
std::string knobHelp(bool withKcs);
std::string faultHelp(bool withKcs);

}  // namespace korvex::bmc
