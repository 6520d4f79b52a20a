#include "korvex/preflight.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "app/options.h"
#include "korvex/system_ports.h"

namespace korvex::linuxhost {

namespace {

// The command line is read once quietly to learn whether the run will reach
// the BMC; the run itself prints the banner and any fault.
class SilentConsole final : public Console {
public:
    void vprint(const char*, va_list) override {}
    void flush() override {}
    int readChar() override { return -1; }
};

}  // namespace

bool runNeedsBmc(int argc, char** argv) {
    SilentConsole silent;
    Options options;
    if (parseCommandLine(silent, argc, argv, &options) == ParseOutcome::End) return false;
    return chooseJob(options) != Job::None;
}

std::vector<uint16_t> distinctPorts(const KcsPortSet& set) {
    std::vector<uint16_t> ports;
    for (int64_t p : {set.command, set.status, set.data}) ports.push_back(static_cast<uint16_t>(p & 0xFFFF));
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

std::string describePorts(const std::vector<uint16_t>& ports) {
    std::string text;
    for (uint16_t p : ports) {
        char number[8];
        std::snprintf(number, sizeof number, "0x%X", p);
        if (!text.empty()) text += '/';
        text += number;
    }
    return text;
}

std::string kernelIpmiDriverEvidence(const std::string& root) {
    for (const char* path : {"/sys/module/ipmi_si", "/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"}) {
        const std::string full = root + path;
        struct stat st {};
        if (lstat(full.c_str(), &st) == 0) return path;
    }
    return {};
}

namespace {

// Refused, with the error's own hint; nothing is sent then.
bool allGranted(const std::vector<uint16_t>& ports, const PortGrant& grant, FILE* err) {
    const std::string portText = describePorts(ports);
    for (uint16_t port : ports) {
        int error = 0;
        if (grant(port, &error)) continue;
        if (error == ENOTSUP) {
            std::fprintf(err,
                         "korvex: cannot access I/O ports %s: %s (this machine has no x86 I/O ports)\n"
                         "korvex: nothing was sent to the BMC\n",
                         portText.c_str(), std::strerror(error));
        } else if (error == ENOSYS) {
            std::fprintf(err,
                         "korvex: cannot access I/O ports %s: %s (this kernel gives programs no port access; "
                         "it was built without ioperm, or it is a container's or a sandbox's kernel)\n"
                         "korvex: nothing was sent to the BMC\n",
                         portText.c_str(), std::strerror(error));
        } else if (error == EPERM && geteuid() != 0) {
            std::fprintf(err,
                         "korvex: cannot access I/O ports %s: %s (run as root)\n"
                         "korvex: nothing was sent to the BMC\n",
                         portText.c_str(), std::strerror(error));
        } else if (error == EPERM) {
            std::fprintf(err,
                         "korvex: cannot access I/O ports %s: %s (the kernel refuses raw port access, "
                         "e.g. when it is locked down or the capability CAP_SYS_RAWIO is missing)\n"
                         "korvex: nothing was sent to the BMC\n",
                         portText.c_str(), std::strerror(error));
        } else {
            std::fprintf(err, "korvex: cannot access I/O ports %s: %s\nkorvex: nothing was sent to the BMC\n",
                         portText.c_str(), std::strerror(error));
        }
        return false;
    }
    return true;
}

constexpr uint16_t kLowestPort = 0x100;

unsigned low16(int64_t port) { return static_cast<unsigned>(port & 0xFFFF); }

// Port 0 is what a missing keyword or a number such as 0xCA3 gives; below
// 0x100 sit the DMA, interrupt, timer, CMOS and reset controllers.
bool inRange(const KcsPortSet& set, const char* origin, FILE* err) {
    const struct {
        int64_t port;
        const char* role;
        const char* keyword;
        const char* example;
    } roles[] = {{set.command, "command/status", "CMD", "CA3"}, {set.data, "data", "DATA", "CA2"}};
    for (const auto& r : roles) {
        if (low16(r.port) == 0) {
            std::fprintf(err,
                         "korvex: KCS ports (%s) refused: the %s port is 0; kcs.cfg has no %s with a "
                         "number, or the number is not plain hexadecimal such as %s\n",
                         origin, r.role, r.keyword, r.example);
            return false;
        }
        if (low16(r.port) < kLowestPort) {
            std::fprintf(err,
                         "korvex: KCS ports (%s) refused: the %s port 0x%X is below 0x100, among the "
                         "machine's own controllers (DMA, interrupts, timer, CMOS, reset)\n",
                         origin, r.role, low16(r.port));
            return false;
        }
    }
    return true;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A bus window only says where a bus decodes, and the IPMI entries are the
// KCS interface's own description (ACPI's device, or the one the kernel
// makes from SMBIOS): none of them is a device that the ports would drive.
// The kernel's IPMI driver is the one holder that is the interface itself.
bool nobodyHolds(const std::vector<uint16_t>& ports, const std::vector<IoportsEntry>& ioports, const char* origin,
                 FILE* err) {
    for (uint16_t port : ports) {
        const IoportsEntry* holder = holderOf(ioports, port);
        if (holder == nullptr || startsWith(holder->name, "PCI Bus ") || startsWith(holder->name, "IPI0001:") ||
            startsWith(holder->name, "IPMI Address "))
            continue;
        if (holder->name == "ipmi_si") {
            // --force-with-kernel-driver is for a driver that provably does
            // not use these ports; here it provably does.
            std::fprintf(err,
                         "korvex: KCS ports (%s) refused: port 0x%X is held by the kernel's IPMI driver "
                         "(ipmi_si in /proc/ioports); unload it first (modprobe -r ipmi_si); "
                         "--force-with-kernel-driver does not cover a driver on these very ports\n",
                         origin, port);
        } else {
            std::fprintf(err, "korvex: KCS ports (%s) refused: port 0x%X is held by \"%s\" (/proc/ioports)\n", origin,
                         port, holder->name.c_str());
        }
        return false;
    }
    return true;
}

bool whereDescribed(const KcsPortSet& set, const std::vector<KcsDescription>& described, const char* origin, bool force,
                    FILE* err) {
    for (const KcsDescription& d : described) {
        if (d.io && d.data == low16(set.data) && d.command == low16(set.command)) return true;
    }
    if (described.empty()) return true;
    const KcsDescription& d = described.front();
    if (force) {
        std::fprintf(err,
                     "korvex: warning: the KCS ports differ from the interface that the system describes "
                     "(%s); going ahead as told (--force-ports)\n",
                     d.source.c_str());
        return true;
    }
    const auto data = static_cast<unsigned long long>(d.data);
    const auto command = static_cast<unsigned long long>(d.command);
    if (d.io) {
        std::fprintf(err,
                     "korvex: KCS ports (%s) refused: command/status 0x%X, data 0x%X, but the system "
                     "describes its KCS interface at command/status 0x%llX, data 0x%llX (%s); to use those, put "
                     "\"CMD %llX DATA %llX\" into kcs.cfg; to go ahead anyway, give --force-ports\n",
                     origin, low16(set.command), low16(set.data), command, data, d.source.c_str(), command, data);
    } else {
        std::fprintf(err,
                     "korvex: KCS ports (%s) refused: the system describes its KCS interface as "
                     "memory-mapped at 0x%llX (%s), not at I/O ports; to go ahead anyway, give --force-ports\n",
                     origin, data, d.source.c_str());
    }
    return false;
}

}  // namespace

bool preflight(CheckedKcsCfg& kcsCfg, const PortGrant& grant, int argc, char** argv, const PreflightSettings& settings,
               FILE* err) {
    if (!runNeedsBmc(argc, argv)) return true;
    if (!kcsCfg.load(settings.user, err)) return false;
    KcsPortSet set;
    readKcsPortSet(kcsCfg, &set);  // the run's own reader, over the same bytes
    const char* origin = kcsCfg.present() ? "from kcs.cfg" : "default";
    if (!inRange(set, origin, err)) return false;
    const std::vector<uint16_t> ports = distinctPorts(set);
    if (!allGranted(ports, grant, err)) return false;

    std::vector<IoportsEntry> ioports;
    if (!readIoports(settings.root, &ioports)) {
        std::fprintf(err,
                     "korvex: warning: cannot read /proc/ioports; the KCS ports were not checked against "
                     "other devices and drivers\n");
    } else if (addressesHidden(ioports)) {
        std::fprintf(err,
                     "korvex: warning: /proc/ioports hides its addresses (the capability CAP_SYS_ADMIN is "
                     "missing); the KCS ports were not checked against other devices and drivers\n");
        ioports.clear();
    }
    if (!nobodyHolds(ports, ioports, origin, err)) return false;
    if (!whereDescribed(set, describedKcsInterfaces(settings.root, ioports), origin, settings.forcePorts, err))
        return false;

    const std::string evidence = kernelIpmiDriverEvidence(settings.root);
    if (!evidence.empty() && !settings.allowKernelDriver) {
        const std::string portText = describePorts(ports);
        std::fprintf(err,
                     "korvex: the kernel's IPMI driver is loaded (%s exists); it drives the KCS registers at %s "
                     "too, and two drivers on one interface corrupt each other's transfers\n"
                     "korvex: unload it first (modprobe -r ipmi_si), or give --force-with-kernel-driver "
                     "if it does not use these ports\n"
                     "korvex: nothing was sent to the BMC\n",
                     evidence.c_str(), portText.c_str());
        return false;
    }
    if (!evidence.empty()) {
        std::fprintf(err, "korvex: warning: the kernel's IPMI driver is loaded (%s exists); going ahead as told\n",
                     evidence.c_str());
    }
    std::fprintf(err, "korvex: KCS ports: command/status 0x%X, data 0x%X (%s)\n", low16(set.command), low16(set.data),
                 origin);
    return true;
}

}  // namespace korvex::linuxhost
