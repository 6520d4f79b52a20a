// The flash dump job.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/job_result.h"
#include "transport/transport.h"

namespace korvex {

// More flash data than any dump length the BMC can announce (32 bits): a BMC
// that never flags its last piece is stopped there instead of filling the disk.
inline constexpr uint64_t kDumpByteLimit = uint64_t{1} << 32;

// The value is 1 whatever the end (what the main routine hands back for a
// dump); the dump file is written only when the outcome is Succeeded.
JobResult runFlashDump(const Platform& platform, Transport& transport, const char* dumpName,
                       uint64_t byteLimit = kDumpByteLimit);

}  // namespace korvex
