// The main routine: one run of the tool from its command line to its end.
#pragma once

#include "platform/platform.h"

namespace korvex {

// argv[0] is the program name as typed. Returns the run's result (0 after a
// usage-only run or a command-line fault, -1 when transport open fails, else
// the job's); the program's exit status is 0 whatever it returns.
int korvexMain(const Platform& platform, int argc, char** argv);

}  // namespace korvex
