// How korvex on Linux reaches the BMC: through the kernel's IPMI driver when
// the machine has its device node, where the driver serialises the interface
// for every user, else through the raw KCS ports (the checks of preflight.h).
// --interface=driver|ports forces one. The choice is named on standard error
// before anything is sent.
#pragma once

#include <cstdio>
#include <string>

#include "korvex/preflight.h"
#include "transport/linux/ipmi_driver.h"

namespace korvex::linuxhost {

// "driver" or "ports"; false for anything else.
bool parseInterfaceChoice(const char* text, InterfaceChoice* choice);

// The device node of the kernel's IPMI driver under root (normally ""): the
// first of /dev/ipmi0, /dev/ipmi/0 and /dev/ipmidev/0 that exists, without
// the root; empty when there is none.
std::string ipmiDeviceNode(const std::string& root);

enum class Route : uint8_t {
    Ports,    // the raw KCS ports, after preflight; also every run that never reaches the BMC
    Driver,   // driver is attached to the device node
    Refused,  // why is on err; nothing was sent
};

// Decides the route of a run with the tool's arguments, names it on err (one
// line) and, for the driver, opens the device node and says when the current
// directory's kcs.cfg is ignored. Runs that never reach the BMC print nothing.
Route chooseRoute(int argc, char** argv, const PreflightSettings& settings, DriverTransport& driver, FILE* err);

}  // namespace korvex::linuxhost
