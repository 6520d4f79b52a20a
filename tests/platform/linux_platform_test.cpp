// The Linux build's timers, sleep, port access and its check before a run.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvex/preflight.h"
#include "platform/hosted/hosted.h"
#include "platform/linux/linux.h"
#include "support/capture.h"

namespace korvex::linuxhost {
namespace {

void onAlarm(int) {}

// Whether the timer has fired after each step: never armed; armed at 0 (twice,
// once per arming); cancelled; spans whose end would wrap into the past
// unless saturated; 30 ms, before and after a 30 ms sleep that signals keep
// interrupting.
TEST(LinuxPlatform, TimersSleepAndRefusedPorts) {
    MonotonicTimers timers;
    TimerId id = 0;
    ASSERT_TRUE(timers.create(&id));
    std::vector<bool> fired = {timers.fired(id)};
    for (int round = 0; round < 2; ++round) {
        timers.armRelative(id, 0);
        fired.insert(fired.end(), {timers.fired(id), timers.fired(id)});
    }
    timers.armRelative(id, 0);
    timers.cancel(id);
    fired.push_back(timers.fired(id));
    for (uint64_t units : {uint64_t{300000000}, UINT64_MAX, UINT64_MAX / 100 + 1, uint64_t{1} << 62}) {
        EXPECT_TRUE(timers.armRelative(id, units));
        fired.push_back(timers.fired(id));
    }
    struct sigaction action {};
    action.sa_handler = onAlarm;  // no SA_RESTART: the sleep sees EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every2ms{{0, 2000}, {0, 2000}}, off{};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every2ms, nullptr), 0);
    timers.armRelative(id, 300000);
    fired.push_back(timers.fired(id));
    SleepStall().stall(30000);
    fired.push_back(timers.fired(id));
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    timers.close(id);
    EXPECT_EQ(fired,
              std::vector<bool>({false, true, false, true, false, false, false, false, false, false, false, true}));
    const timespec end = monotonicAfter(UINT64_MAX);
    EXPECT_TRUE(end.tv_sec > monotonicAfter(0).tv_sec && end.tv_nsec >= 0 && end.tv_nsec < 1000000000);
    // A deadline whose nanoseconds carry into its seconds lies the whole span later, never earlier.
    const timespec now = monotonicAfter(0), later = monotonicAfter(999999999);
    EXPECT_GE((later.tv_sec - now.tv_sec) * 1000000000L + (later.tv_nsec - now.tv_nsec), 999999999L);

    LinuxPortIo io;
    int error = 0;
    // Port 0x80 is the POST code port: harmless if this test ever does get access.
    if (io.grant(0x80, &error)) return;
    io.out8(0x80, 0x12);  // must neither fault nor reach the port
    EXPECT_EQ(io.in8(0x80), 0xFF);
    EXPECT_TRUE(error != 0 && !io.granted(0x80));
}

// /proc/ioports of a QEMU guest with the ISA KCS interface (ipmi_si not loaded).
constexpr const char* kGuestIoports =
    "0000-0cf7 : PCI Bus 0000:00\n"
    "  0600-063f : 0000:00:01.3\n"
    "    0604-0605 : ACPI PM1a_CNT_BLK\n"
    "  0ca2-0ca3 : IPI0001:00\n"
    "    0ca2-0ca2 : IPMI Address 1\n"
    "    0ca3-0ca3 : IPMI Address 2\n"
    "0cf8-0cff : PCI conf1\n";

// A raw SMBIOS type 38 entry: interface type (1 KCS), base address with the
// I/O flag in bit 0, modifier (bits 7..6 register spacing, bit 4 the
// address's lowest bit).
std::string smbios38(uint8_t type, uint64_t base, uint8_t modifier, uint8_t length = 0x12) {
    std::string raw = {38, static_cast<char>(length), 0, 0x30, static_cast<char>(type), 0x20, 0x20, 0};
    for (int i = 0; i < 8; ++i) raw += static_cast<char>(base >> (8 * i));
    return raw + static_cast<char>(modifier) + std::string("\x05\0\0", 3);
}

enum class Plant { None, File, Symlink, Fifo };
enum class Owner { Runner, Other, RunningUser };  // Other: neither root nor the user running korvex

struct Row {
    std::vector<std::string> args = {"-d", "dump.bin"};
    Plant plant = Plant::File;
    std::string bytes = "CMD CA3 DATA CA2\n";
    mode_t mode = 0644;
    Owner owner = Owner::Runner;
    const char* ioports = kGuestIoports;  // nullptr: no /proc/ioports
    std::string smbios = {};              // the raw entry 38-0, none if empty
    bool acpi = false;                    // the ACPI device IPI0001:00 exists
    const char* driverSign = nullptr;     // planted under the root: the kernel's IPMI driver is loaded
    int refuse = 0;                       // the kernel refuses port access with this
    bool forcePorts = false;
    bool forceDriver = false;
    bool runs = false;
    std::vector<uint16_t> asked = {};  // of the kernel
    std::string says = {};             // refused: part of the one line; runs: the last line; none: nothing said
    std::string warns = {};
};

// Runs preflight in a scratch directory (for kcs.cfg) with a fake grant and
// a fake root.
TEST(Preflight, PortsGrantsAndRefusals) {
    const std::string dir = test::scratchPath("preflight"), root = dir + "/root";
    const auto previous = std::filesystem::current_path();
    const auto plant = [&root](const std::string& path, const std::string& bytes) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        test::writeFile(root + path, bytes);
    };
    const std::vector<uint16_t> ca23 = {0xCA2, 0xCA3}, ca45 = {0xCA4, 0xCA5};
    const std::string standardLine = "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (default)\n";
    const std::string fromCfg = "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (from kcs.cfg)\n";
    const std::string ca5 = "korvex: KCS ports: command/status 0xCA5, data 0xCA4 (from kcs.cfg)\n";
    const std::string qemuSmbios = smbios38(1, 0xCA3, 0x01);
    std::string ipmiSi = kGuestIoports;  // the kernel's driver on the KCS registers
    ipmiSi.insert(ipmiSi.find("    0ca3-0ca3"), "      0ca2-0ca2 : ipmi_si\n");
    const std::string bigCfg = std::string(4080, ' ') + "CMD CA5 DATA CA4";
    const std::string driver = "korvex: the kernel's IPMI driver is loaded (";
    const std::string eperm = "korvex: cannot access I/O ports 0xCA2/0xCA3: Operation not permitted" +
                              std::string(geteuid() == 0 ? " (the kernel refuses raw port access" : " (run as root)");
    using enum Plant;
    using enum Owner;
    // clang-format off
    const Row rows[] = {
        {.args = {}, .plant = None, .driverSign = "/dev/ipmi0", .refuse = EPERM, .runs = true},
        {.args = {"-i", "nfs", "-f", "x"}, .driverSign = "/dev/ipmi0", .refuse = EPERM, .runs = true},
        {.args = {"-r"}, .refuse = EPERM, .runs = true},
        {.args = {"-c"}, .refuse = EPERM, .runs = true},
        {.args = {"-f", "fw.bin", "-i", "usb"}, .plant = None, .runs = true, .asked = ca23, .says = standardLine},
        {.args = {"-c", "-d", "b"}, .plant = None, .runs = true, .asked = ca23, .says = standardLine},
        {.args = {"-c", "-f", "r"}, .runs = true, .asked = ca23, .says = fromCfg},
        {.refuse = EPERM, .asked = {0xCA2}, .says = eperm},
        {.args = {"-f", "fw.bin"}, .refuse = ENOSYS, .asked = {0xCA2}, .says = "gives programs no port access"},
        {.refuse = ENOTSUP, .asked = {0xCA2}, .says = "no x86 I/O ports"},
        {.refuse = EINVAL, .asked = {0xCA2}, .says = "Invalid argument\n"},
        {.driverSign = "/sys/module/ipmi_si", .asked = ca23, .says = driver + "/sys/module/ipmi_si exists)"},
        {.driverSign = "/dev/ipmi0", .asked = ca23, .says = driver + "/dev/ipmi0 exists)"},
        {.driverSign = "/dev/ipmi/0", .asked = ca23, .says = driver + "/dev/ipmi/0 exists)"},
        {.driverSign = "/dev/ipmidev/0", .asked = ca23, .says = driver + "/dev/ipmidev/0 exists)"},
        {.driverSign = "/dev/ipmi0", .forceDriver = true, .runs = true, .asked = ca23, .says = fromCfg,
         .warns = "warning"},
        {.plant = None, .runs = true, .asked = ca23, .says = standardLine},
        {.bytes = "CMD CA5\nDATA CA4\n", .runs = true, .asked = ca45, .says = ca5},
        {.owner = RunningUser, .runs = true, .asked = ca23, .says = fromCfg},
        {.plant = Symlink, .says = "kcs.cfg refused: it is a symbolic link"},
        {.plant = Fifo, .says = "kcs.cfg refused: it is a FIFO"},
        {.owner = Other, .says = "kcs.cfg refused: it is owned by uid "},
        {.mode = 0664, .says = "kcs.cfg refused: others than its owner may write it (mode 0664)"},
        {.mode = 0646, .says = "(mode 0646)"},
        {.bytes = bigCfg, .runs = true, .asked = ca45, .says = ca5},
        {.bytes = " " + bigCfg, .says = "kcs.cfg refused: it is larger than 4096 bytes"},
        {.bytes = "CMD 0xCA3 DATA CA2", .says = "(from kcs.cfg) refused: the command/status port is 0;"},
        {.bytes = "CMD CA3 DATA FF", .says = "refused: the data port 0xFF is below 0x100"},
        {.bytes = "CMD CA3 DATA 100", .runs = true, .asked = {0x100, 0xCA3},
         .says = "korvex: KCS ports: command/status 0xCA3, data 0x100 (from kcs.cfg)\n"},
        {.bytes = "CMD CF9 DATA CF8", .asked = {0xCF8, 0xCF9},
         .says = "refused: port 0xCF8 is held by \"PCI conf1\" (/proc/ioports)"},
        {.bytes = "CMD 605 DATA 604", .asked = {0x604, 0x605}, .says = "\"ACPI PM1a_CNT_BLK\""},
        {.plant = None, .ioports = ipmiSi.c_str(), .forceDriver = true, .asked = ca23,
         .says = "(default) refused: port 0xCA2 is held by the kernel's IPMI driver (ipmi_si in /proc/ioports)"},
        {.ioports = "0000-0000 : PCI Bus 0000:00\n  0000-0000 : dma1\n", .runs = true, .asked = ca23, .says = fromCfg,
         .warns = "/proc/ioports hides its addresses"},
        {.ioports = nullptr, .runs = true, .asked = ca23, .says = fromCfg, .warns = "cannot read /proc/ioports"},
        {.plant = None, .smbios = qemuSmbios, .runs = true, .asked = ca23, .says = standardLine},
        {.bytes = "CMD CA5 DATA CA4", .smbios = qemuSmbios, .asked = ca45,
         .says = "command/status 0xCA3, data 0xCA2 (SMBIOS); to use those, put \"CMD CA3 DATA CA2\" into kcs.cfg"},
        {.bytes = "CMD CA5 DATA CA4", .smbios = qemuSmbios, .forcePorts = true, .runs = true, .asked = ca45,
         .says = ca5, .warns = "(SMBIOS); going ahead as told (--force-ports)"},
        {.plant = None, .smbios = smbios38(1, 0xCA9, 0x41), .asked = ca23,
         .says = "put \"CMD CAC DATA CA8\" into kcs.cfg"},
        {.bytes = "CMD CA4 DATA CA3", .smbios = smbios38(1, 0xCA3, 0x11), .runs = true, .asked = {0xCA3, 0xCA4},
         .says = "korvex: KCS ports: command/status 0xCA4, data 0xCA3 (from kcs.cfg)\n"},
        {.plant = None, .smbios = smbios38(1, 0xFED40000, 0x00), .asked = ca23,
         .says = "as memory-mapped at 0xFED40000 (SMBIOS)"},
        {.plant = None, .smbios = smbios38(1, 0xCA3, 0xC0, 0x10), .runs = true, .asked = ca23, .says = standardLine},
        {.plant = None, .smbios = smbios38(3, 0xE5, 0x01), .runs = true, .asked = ca23, .says = standardLine},
        {.plant = None, .acpi = true, .runs = true, .asked = ca23, .says = standardLine},
        {.bytes = "CMD CA5 DATA CA4", .acpi = true, .asked = ca45, .says = "data 0xCA2 (ACPI IPI0001:00)"},
        {.bytes = "CMD CAC DATA CA8", .ioports = "0ca8-0ca8 : IPI0001:00\n0cac-0cac : IPI0001:00\n", .acpi = true,
         .runs = true, .asked = {0xCA8, 0xCAC},
         .says = "korvex: KCS ports: command/status 0xCAC, data 0xCA8 (from kcs.cfg)\n"},
    };
    // clang-format on
    const uid_t self = geteuid();
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(root);
        std::filesystem::current_path(dir);
        if (r.ioports != nullptr) plant("/proc/ioports", r.ioports);
        if (!r.smbios.empty()) plant("/sys/firmware/dmi/entries/38-0/raw", r.smbios);
        if (r.acpi) plant("/sys/bus/acpi/devices/IPI0001:00/hid", "IPI0001\n");
        if (r.driverSign != nullptr) plant(r.driverSign, "");
        if (r.plant == Plant::File) test::writeFile("kcs.cfg", r.bytes);
        if (r.plant == Plant::Symlink) test::writeFile("real.cfg", r.bytes);
        ASSERT_TRUE(r.plant != Plant::Symlink || symlink("real.cfg", "kcs.cfg") == 0);
        ASSERT_TRUE(r.plant != Plant::Fifo || mkfifo("kcs.cfg", 0644) == 0);
        ASSERT_TRUE(r.plant != Plant::File || chmod("kcs.cfg", r.mode) == 0);
        PreflightSettings settings{.allowKernelDriver = r.forceDriver, .forcePorts = r.forcePorts, .root = root};
        if (r.owner != Owner::Runner && self == 0) {
            ASSERT_EQ(chown("kcs.cfg", 4242, static_cast<gid_t>(-1)), 0);
            if (r.owner == Owner::RunningUser) settings.user = 4242;
        } else if (r.owner == Owner::Other) {
            settings.user = self + 1;
        }
        std::vector<std::string> args = {"korvex"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<uint16_t> asked;
        const PortGrant grant = [&](uint16_t port, int* error) {
            asked.push_back(port);
            *error = r.refuse;
            return r.refuse == 0;
        };
        hosted::StdioFileSystem files;
        CheckedKcsCfg kcsCfg{files};
        FILE* err = tmpfile();
        EXPECT_EQ(preflight(kcsCfg, grant, static_cast<int>(args.size()), argv.data(), settings, err), r.runs);
        std::string message(static_cast<size_t>(ftell(err)), '\0');
        rewind(err);
        message.resize(fread(message.data(), 1, message.size(), err));
        fclose(err);
        EXPECT_EQ(asked, r.asked);
        if (r.says.empty()) {
            EXPECT_EQ(message, "");
        }
        if (r.runs) {
            EXPECT_TRUE(message.ends_with(r.says) && message.find(r.warns) != std::string::npos) << message;
            // The run reads the bytes that were checked, whatever kcs.cfg holds by then.
            std::filesystem::remove("kcs.cfg");
            test::writeFile("kcs.cfg", "CMD CF9 DATA 70");
            KcsPortSet set;
            readKcsPortSet(kcsCfg, &set);
            if (!r.asked.empty()) {
                EXPECT_EQ(distinctPorts(set), r.asked);
            }
        } else {
            // kcs.cfg and its ports are refused on one line; the rest also say that nothing was sent.
            const long lines = r.refuse != 0 ? 2 : r.driverSign != nullptr ? 3 : 1;
            EXPECT_TRUE(std::count(message.begin(), message.end(), '\n') == lines &&
                        message.find(r.says) != std::string::npos)
                << message;
        }
    }
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvex::linuxhost
