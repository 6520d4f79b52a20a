// The firmware update job: the KCS update path, which sends the package, and
// the USB update path, which only tests and reads it.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/transport.h"

namespace korvex {

// 0 after "Update Complete", -1 after any failure.
int runKcsUpdate(const Platform& platform, Transport& transport, const char* packageName, uint8_t preserveFlag);

// 0 on every outcome.
int runUsbUpdate(const Platform& platform, Transport& transport, const char* packageName, uint8_t preserveFlag);

}  // namespace korvex
