// The main routine: one run of the tool from its command line to its end.
#pragma once

#include "platform/platform.h"
#include "transport/job_result.h"
#include "transport/transport.h"

namespace korvex {

// argv[0] is the program name as typed. The result's value is what the main
// routine returns (0 after a usage-only run or a command-line fault, -1 when
// transport open fails or a stop was requested before the job, else the
// job's); its outcome is the run's.
// Every request goes through the KCS transport on the platform's ports.
JobResult korvexMain(const Platform& platform, int argc, char** argv);

// The same run through a transport the front end bound instead (korvex on
// Linux binds the kernel's IPMI driver when the machine has one).
JobResult korvexMain(const Platform& platform, Transport& transport, int argc, char** argv);

}  // namespace korvex
