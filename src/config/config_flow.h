// The configuration backup and restore flow.
#pragma once

#include "platform/platform.h"
#include "transport/job_result.h"
#include "transport/transport.h"

namespace korvex {

// Restores from restoreName when it is set, else backs up into backupName.
// Ends the run: the caller returns at once afterwards, with this result (its
// value is 0 on every path).
JobResult runConfigFlow(const Platform& platform, Transport& transport, const char* restoreName,
                        const char* backupName);

}  // namespace korvex
