// What the machine itself says about I/O ports: which device or driver holds
// each one (/proc/ioports), and where its KCS interface is (SMBIOS type 38,
// the ACPI IPMI device IPI0001). Every path is read under a root folder,
// normally "", so that the tests can bring their own /proc and /sys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvex::linuxhost {

// One line of /proc/ioports, e.g. "  0ca2-0ca3 : IPI0001:00" (depth 2: the
// number of spaces before the range, which is how the file nests entries).
struct IoportsEntry {
    uint64_t first = 0;
    uint64_t last = 0;
    size_t depth = 0;
    std::string name;
};

// Lines that do not have the form above are left out.
std::vector<IoportsEntry> parseIoports(const std::string& text);

// False when root + "/proc/ioports" cannot be read.
bool readIoports(const std::string& root, std::vector<IoportsEntry>* entries);

// The kernel shows every range as 0-0 to a process without CAP_SYS_ADMIN.
bool addressesHidden(const std::vector<IoportsEntry>& entries);

// The innermost entry that holds the port, or nullptr when none does.
const IoportsEntry* holderOf(const std::vector<IoportsEntry>& entries, uint16_t port);

// A KCS interface as the system describes it.
struct KcsDescription {
    std::string source;    // "SMBIOS" or "ACPI IPI0001:00"
    bool io = true;        // false: memory-mapped, which port I/O cannot reach
    uint64_t data = 0;     // data register
    uint64_t command = 0;  // command/status register (data + register spacing)
};

// One SMBIOS type 38 (IPMI Device Information) structure as the kernel gives
// it in /sys/firmware/dmi/entries/38-*/raw. False unless it is a well-formed
// entry for a KCS interface.
bool decodeSmbiosIpmi(const std::string& raw, KcsDescription* out);

// Every KCS interface that SMBIOS or ACPI describes. The ACPI device's
// registers are its resources, which the kernel lists in /proc/ioports under
// the device's name; pass no entries when their addresses are not known.
std::vector<KcsDescription> describedKcsInterfaces(const std::string& root, const std::vector<IoportsEntry>& ioports);

}  // namespace korvex::linuxhost
