// The Linux front end's check before a run: a run that will talk to the BMC
// gets its KCS ports from a kcs.cfg that passes the file's rules (or the
// standard ports), only when no other device or driver holds them and they
// are where the system says its KCS interface is; it asks the kernel for
// them, and does not start while the kernel's own IPMI driver may be driving
// the same registers. A refusal is reported before the tool prints or sends
// anything.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "korvex/kcs_cfg.h"
#include "platform/linux/linux.h"
#include "platform/platform.h"
#include "transport/kcs.h"

namespace korvex::linuxhost {

// The distinct port numbers (low 16 bits) of a port set, ascending.
std::vector<uint16_t> distinctPorts(const KcsPortSet& ports);

// "0xCA2/0xCA3"
std::string describePorts(const std::vector<uint16_t>& ports);

// The first sign under root (normally "") that the kernel's IPMI driver is
// loaded, e.g. "/sys/module/ipmi_si"; empty when there is none.
std::string kernelIpmiDriverEvidence(const std::string& root);

// --interface=driver|ports, or neither.
enum class InterfaceChoice : uint8_t { Automatic, Driver, Ports };

struct PreflightSettings {
    InterfaceChoice interface = InterfaceChoice::Automatic;
    bool allowKernelDriver = false;  // --force-with-kernel-driver
    bool forcePorts = false;         // --force-ports
    std::string root;                // prefix of /proc, /sys and /dev, for tests
    uid_t user = geteuid();          // besides root, the owner kcs.cfg may have
};

// False for a usage-only run and a command-line fault: they never reach the BMC.
bool runNeedsBmc(int argc, char** argv);

// True when the run may go ahead: it needs no port (usage-only run, command
// line fault), or kcs.cfg and its port set pass every check, every port is
// granted and no kernel IPMI driver is in the way; then the ports are named
// on err. Otherwise prints why to err and returns false. kcsCfg is loaded
// here and is the file system the run must be given, so that the run reads
// the port set that was checked. grant asks for one port, as
// LinuxPortIo::grant.
using PortGrant = std::function<bool(uint16_t port, int* error)>;
bool preflight(CheckedKcsCfg& kcsCfg, const PortGrant& grant, int argc, char** argv, const PreflightSettings& settings,
               FILE* err);

}  // namespace korvex::linuxhost
