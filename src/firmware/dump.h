// The flash dump job.
#pragma once

#include "platform/platform.h"
#include "transport/transport.h"

namespace korvex {

// 1 when the job ends (the value the main routine hands back for a dump).
int runFlashDump(const Platform& platform, Transport& transport, const char* dumpName);

}  // namespace korvex
