#include "korvex/preflight.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "app/options.h"

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

bool runNeedsPorts(int argc, char** argv) {
    SilentConsole silent;
    Options options;
    if (parseCommandLine(silent, argc, argv, &options) == ParseOutcome::End) return false;
    return chooseJob(options) != Job::None;
}

}  // namespace

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

bool preflight(const Platform& platform, const PortGrant& grant, int argc, char** argv,
               const PreflightSettings& settings, FILE* err) {
    if (!runNeedsPorts(argc, argv)) return true;

    KcsTransport probe(platform);
    if (probe.open() == -1) return true;  // the run ends there by itself, sending nothing
    const std::vector<uint16_t> ports = distinctPorts(probe.ports());
    const std::string portText = describePorts(ports);

    for (uint16_t port : ports) {
        int error = 0;
        if (grant(port, &error)) continue;
        if (error == ENOTSUP) {
            std::fprintf(err, "korvex: cannot access I/O ports %s: %s (this machine has no x86 I/O ports)\n"
                         "korvex: nothing was sent to the BMC\n",
                         portText.c_str(), std::strerror(error));
        } else if (error == ENOSYS) {
            std::fprintf(err,
                         "korvex: cannot access I/O ports %s: %s (this kernel gives programs no port access; "
                         "it was built without ioperm, or it is a container's or a sandbox's kernel)\n"
                         "korvex: nothing was sent to the BMC\n",
                         portText.c_str(), std::strerror(error));
        } else if (error == EPERM && geteuid() != 0) {
            std::fprintf(err, "korvex: cannot access I/O ports %s: %s (run as root)\n"
                         "korvex: nothing was sent to the BMC\n", portText.c_str(),
                         std::strerror(error));
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

    const std::string evidence = kernelIpmiDriverEvidence(settings.root);
    if (!evidence.empty() && !settings.allowKernelDriver) {
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
    return true;
}

}  // namespace korvex::linuxhost
