// The command line: the option record, the option scan and the checks after it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace korvex {

inline constexpr uint8_t kPreserveNotGiven = 0xFF;
inline constexpr size_t kOptionTextSize = 16;  // 15 characters and the terminating zero

struct Options {
    const char* firmwareFile = nullptr;  // -f: update package, or the file to restore from (-c)
    const char* dumpFile = nullptr;      // -d: flash dump, or the file to back up into (-c)
    char interface[kOptionTextSize] = {};
    char host[kOptionTextSize] = {};
    char port[kOptionTextSize] = {};
    char user[kOptionTextSize] = {};
    char password[kOptionTextSize] = {};
    uint8_t preserveFlag = kPreserveNotGiven;  // 1: keep the BMC settings, 0: factory defaults
    bool configFlag = false;
};

enum class ParseOutcome : uint8_t { Run, End };

// Fills *options from argv[1..argc-1]. On a fault it prints the usage banner
// and the message in their order and returns End; an empty command line
// prints only the banner and returns End too.
ParseOutcome parseCommandLine(Console& console, int argc, char** argv, Options* options);

enum class Job : uint8_t { None, ConfigRestore, ConfigBackup, FlashDump, UsbUpdate, KcsUpdate };

Job chooseJob(const Options& options);

}  // namespace korvex
