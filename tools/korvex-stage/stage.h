// korvex-stage: runs Korvex.efi once at the next boot, from Linux, where no
// UEFI Shell is needed. Staging copies Korvex.efi and the job's input to the
// EFI system partition, makes a boot entry with the tool's command line
// (efibootmgr) and sets BootNext to it; after the reboot, the report prints
// the run's log, hands back a dump or backup, removes the entry and exits
// with the run's outcome.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace korvex::stage {

// Exit statuses, the same as korvex's for the same outcome.
inline constexpr int kSucceeded = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kNotStarted = 4;

struct Settings {
    // Where /proc, /sys and the mount points are looked up: "/" on a
    // machine, a folder of its own in the tests.
    std::string root = "/";
    // Korvex.efi as the package installs it; --efi names another.
    std::string efiImage = "/usr/lib/korvex/Korvex.efi";
    // Free bytes of the file system holding a path (statvfs when empty).
    std::function<uint64_t(const std::string& path)> freeBytes;
};

// korvex-stage's whole run: argv without the program name. The report and
// every refusal go to err, the run's log to out.
int run(const Settings& settings, const std::vector<std::string>& args, FILE* out, FILE* err);

// The load options of the boot entry for the arguments (program name
// first): UCS-2 little-endian, zero-terminated, each argument quoted so that
// Korvex.efi splits the line back into exactly these arguments.
std::string loadOptions(const std::vector<std::string>& args);

}  // namespace korvex::stage
