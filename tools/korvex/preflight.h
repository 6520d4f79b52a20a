// The Linux front end's check before a run: a run that will talk to the BMC
// gets the KCS ports from the kernel first, and does not start while the
// kernel's own IPMI driver may be driving the same registers. A refusal is
// reported before the tool prints or sends anything.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

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

struct PreflightSettings {
    bool allowKernelDriver = false;  // --force-with-kernel-driver
    std::string root;                // prefix of /sys and /dev, for tests
};

// True when the run may go ahead: it needs no port (usage-only run, command
// line fault), or every port of the port set that kcs.cfg gives is granted
// and no kernel IPMI driver is in the way. Otherwise prints why to err and
// returns false. Reads the command line and kcs.cfg exactly as the run will.
// grant asks for one port, as LinuxPortIo::grant.
using PortGrant = std::function<bool(uint16_t port, int* error)>;
bool preflight(const Platform& platform, const PortGrant& grant, int argc, char** argv,
               const PreflightSettings& settings, FILE* err);

}  // namespace korvex::linuxhost
