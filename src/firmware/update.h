// The firmware update job: the KCS update path, which sends the package, and
// the USB update path, which only tests and reads it.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/job_result.h"
#include "transport/transport.h"

namespace korvex {

// The value is 0 after "Update Complete", -1 after any failure.
JobResult runKcsUpdate(const Platform& platform, Transport& transport, const char* packageName, uint8_t preserveFlag);

// The value is 0 on every end; the outcome is never Succeeded, since the
// path sends no firmware.
JobResult runUsbUpdate(const Platform& platform, Transport& transport, const char* packageName, uint8_t preserveFlag);

}  // namespace korvex
