#include "korvex/interface.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvex::linuxhost {

bool parseInterfaceChoice(const char* text, InterfaceChoice* choice) {
    if (std::strcmp(text, "driver") == 0) {
        *choice = InterfaceChoice::Driver;
    } else if (std::strcmp(text, "ports") == 0) {
        *choice = InterfaceChoice::Ports;
    } else {
        return false;
    }
    return true;
}

std::string ipmiDeviceNode(const std::string& root) {
    // The names the driver's node has under the kernel's devtmpfs and under
    // older udev and devfs rules.
    for (const char* node : {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"}) {
        struct stat st {};
        if (stat((root + node).c_str(), &st) == 0) return node;
    }
    return {};
}

namespace {

Route refuse(FILE* err) {
    std::fprintf(err, "korvex: nothing was sent to the BMC\n");
    return Route::Refused;
}

Route attachDriver(const std::string& node, const PreflightSettings& settings, DriverTransport& driver, FILE* err) {
    AttachStep step = AttachStep::Open;
    const int error = driver.attach((settings.root + node).c_str(), &step);
    if (error != 0 && step == AttachStep::Open) {
        const bool permission = error == EACCES || error == EPERM;
        std::fprintf(err, "korvex: cannot open %s: %s%s\n", node.c_str(), std::strerror(error),
                     permission && geteuid() != 0 ? " (run as root)" : "");
        return refuse(err);
    }
    if (error != 0) {
        std::fprintf(err, "korvex: %s is not the kernel's IPMI device: %s\n", node.c_str(), std::strerror(error));
        return refuse(err);
    }
    // The driver knows its interface; port numbers mean nothing to it.
    struct stat st {};
    if (lstat("kcs.cfg", &st) == 0)
        std::fprintf(err, "korvex: kcs.cfg is ignored: the kernel's IPMI driver has no use for KCS ports\n");
    return Route::Driver;
}

}  // namespace

Route chooseRoute(int argc, char** argv, const PreflightSettings& settings, DriverTransport& driver, FILE* err) {
    if (!runNeedsBmc(argc, argv)) return Route::Ports;
    if (settings.interface == InterfaceChoice::Ports) {
        std::fprintf(err, "korvex: interface: KCS ports (--interface=ports)\n");
        return Route::Ports;
    }
    const bool automatic = settings.interface == InterfaceChoice::Automatic;
    const std::string node = ipmiDeviceNode(settings.root);
    if (node.empty() && automatic) {
        std::fprintf(err, "korvex: interface: KCS ports (no /dev/ipmi0)\n");
        return Route::Ports;
    }
    if (node.empty()) {
        std::fprintf(err,
                     "korvex: interface: the kernel's IPMI driver (--interface=driver)\n"
                     "korvex: no /dev/ipmi0, /dev/ipmi/0 or /dev/ipmidev/0: the kernel's IPMI driver is not "
                     "loaded (modprobe ipmi_si ipmi_devintf)\n");
        return refuse(err);
    }
    std::fprintf(err, "korvex: interface: the kernel's IPMI driver, %s%s\n", node.c_str(),
                 automatic ? "" : " (--interface=driver)");
    return attachDriver(node, settings, driver, err);
}

}  // namespace korvex::linuxhost
