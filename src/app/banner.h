// The framed usage banner printed on every run.
#pragma once

#include "platform/platform.h"

namespace korvex {

inline constexpr const char* kToolVersion = "2.10";
inline constexpr const char* kBannerProgramName = "Korvex.exe";
inline constexpr const char* kExampleBmcAddress = "192.0.2.1";  // documentation range, never a real BMC
inline constexpr const char* kExampleUser = "admin";
inline constexpr const char* kExamplePassword = "secret";

// The date this binary was built, as "Jul 29 2025" (day padded with a space).
const char* buildDate();

void printUsageBanner(Console& console);

}  // namespace korvex
