// The Linux build's timers, sleep, port access and its check before a run.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/hosted/hosted.h"
#include "platform/linux/linux.h"
#include "korvex/preflight.h"
#include "support/capture.h"

namespace korvex::linuxhost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kThirtySeconds = 300000000;  // in 100 ns units, the KCS wait

TEST(MonotonicTimers, OneShotArmCancelAndSaturation) {
    MonotonicTimers timers;
    TimerId id = 0;
    ASSERT_TRUE(timers.create(&id));
    EXPECT_FALSE(timers.fired(id)) << "never armed";
    for (int round = 0; round < 2; ++round) {  // the second round re-arms after firing
        ASSERT_TRUE(timers.armRelative(id, 0));
        EXPECT_TRUE(timers.fired(id));
        EXPECT_FALSE(timers.fired(id)) << "a one-shot timer fired twice";
    }
    ASSERT_TRUE(timers.armRelative(id, 0));
    timers.cancel(id);
    EXPECT_FALSE(timers.fired(id)) << "cancelled";
    // The KCS wait, and spans whose end would wrap into the past unless saturated.
    for (uint64_t units : {kThirtySeconds, UINT64_MAX, UINT64_MAX / 100 + 1, uint64_t{1} << 62}) {
        ASSERT_TRUE(timers.armRelative(id, units));
        EXPECT_FALSE(timers.fired(id)) << units;
    }
    ASSERT_TRUE(timers.armRelative(id, 20000));  // 2 ms
    EXPECT_FALSE(timers.fired(id));
    SleepStall().stall(3000);
    EXPECT_TRUE(timers.fired(id));
    timers.close(id);
    const timespec end = monotonicAfter(UINT64_MAX);
    EXPECT_GT(end.tv_sec, monotonicAfter(0).tv_sec);
    EXPECT_TRUE(end.tv_nsec >= 0 && end.tv_nsec < 1000000000);
}

void onAlarm(int) {}

TEST(SleepStall, SignalsDoNotCutTheSleepShort) {
    struct sigaction action {};
    action.sa_handler = onAlarm;  // no SA_RESTART: the sleep sees EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every2ms{{0, 2000}, {0, 2000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every2ms, nullptr), 0);
    const auto start = Clock::now();
    SleepStall().stall(30000);
    const auto slept = Clock::now() - start;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept, std::chrono::microseconds(30000));
}

TEST(LinuxPortIo, RefusedPortFloatsAndSendsNothing) {
    LinuxPortIo io;
    int error = 0;
    // Port 0x80 is the POST code port: harmless if this test ever does get access.
    if (io.grant(0x80, &error)) GTEST_SKIP() << "port access is granted here; nothing to refuse";
    EXPECT_NE(error, 0);
    EXPECT_FALSE(io.granted(0x80));
    EXPECT_EQ(io.in8(0x80), 0xFF);
    io.out8(0x80, 0x12);  // must neither fault nor reach the port
    EXPECT_FALSE(io.granted(0x80));
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/korvex-linux-test.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(KernelDriver, EachSignIsFound) {
    const char* signs[] = {"/sys/module/ipmi_si", "/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};
    for (const char* sign : signs) {
        TempDir root;
        EXPECT_EQ(kernelIpmiDriverEvidence(root.path()), "");
        const std::filesystem::path p = root.path() + sign;
        std::filesystem::create_directories(p.parent_path());
        test::writeFile(p.string(), "");
        EXPECT_EQ(kernelIpmiDriverEvidence(root.path()), sign);
    }
}

// /proc/ioports of a QEMU guest with the ISA KCS interface (ipmi_si not loaded).
constexpr const char* kGuestIoports =
    "0000-0cf7 : PCI Bus 0000:00\n"
    "  0000-001f : dma1\n"
    "  0070-0077 : rtc0\n"
    "  0600-063f : 0000:00:01.3\n"
    "    0600-0603 : ACPI PM1a_EVT_BLK\n"
    "    0604-0605 : ACPI PM1a_CNT_BLK\n"
    "  0ca2-0ca3 : IPI0001:00\n"
    "    0ca2-0ca2 : IPMI Address 1\n"
    "    0ca3-0ca3 : IPMI Address 2\n"
    "0cf8-0cff : PCI conf1\n"
    "0d00-ffff : PCI Bus 0000:00\n";

// Runs preflight in a scratch directory (for kcs.cfg) with a fake grant and
// a fake root that holds the guest's /proc/ioports.
class Preflight : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        settings_.root = fakeRoot_.path();
        plant("/proc/ioports", kGuestIoports);
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

    bool run(std::vector<std::string> args) {
        args.insert(args.begin(), "korvex");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const PortGrant grant = [this](uint16_t port, int* error) {
            asked.push_back(port);
            if (refuseWith != 0) *error = refuseWith;
            return refuseWith == 0;
        };
        FILE* err = tmpfile();
        const bool ok = preflight(kcsCfg_, grant, static_cast<int>(args.size()), argv.data(), settings_, err);
        message.assign(static_cast<size_t>(ftell(err)), '\0');
        rewind(err);
        message.resize(fread(message.data(), 1, message.size(), err));
        fclose(err);
        return ok;
    }
    // Puts a file under the fake root.
    void plant(const std::string& path, const std::string& bytes) {
        const std::filesystem::path p = fakeRoot_.path() + path;
        std::filesystem::create_directories(p.parent_path());
        test::writeFile(p.string(), bytes);
    }
    void emptyFakeRoot() {
        for (const char* top : {"/proc", "/sys", "/dev"}) std::filesystem::remove_all(fakeRoot_.path() + top);
    }
    void kernelDriverLoaded() { std::filesystem::create_directories(fakeRoot_.path() + "/sys/module/ipmi_si"); }
    // The port set the run itself gets, through the front end's file system.
    std::vector<uint16_t> portsOfTheRun() {
        KcsTransport transport(platform_);
        transport.open();
        return distinctPorts(transport.ports());
    }

    std::vector<uint16_t> asked;
    int refuseWith = 0;
    std::string message;
    PreflightSettings settings_;

private:
    TempDir dir_;
    TempDir fakeRoot_;
    std::filesystem::path previous_;
    LinuxPortIo ports_;
    MonotonicTimers timers_;
    SleepStall stall_;
    test::CaptureConsole console_;
    hosted::StdioFileSystem files_;
    CheckedKcsCfg kcsCfg_{files_};
    hosted::HeapMemory memory_;
    NeverStop stops_;
    Platform platform_{ports_, timers_, stall_, console_, kcsCfg_, memory_, stops_};
};

// Runs that never reach the BMC need no ports; every job asks for its ports
// and says why it cannot have them, or why the run stops before it starts.
TEST_F(Preflight, GrantsAndRefusals) {
    const std::string standard = "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (default)\n";
    const std::string nothingSent = "nothing was sent to the BMC";
    // clang-format off
    const std::vector<std::string> fw = {"-f", "fw.bin"};
    const struct {
        std::vector<std::string> args;
        int refuse;
        int driver;  // 1: the kernel's IPMI driver is loaded; 2: and allowed
        bool runs;
        std::vector<std::string> says;  // parts of the message; none: it is empty
    } rows[] = {
        {{}, EPERM, 1, true, {}},
        {{"-i", "nfs", "-f", "x"}, EPERM, 1, true, {}},
        {{"-r"}, EPERM, 1, true, {}},
        {{"-c"}, EPERM, 1, true, {}},
        {fw, 0, 0, true, {standard}},
        {{"-d", "dump.bin"}, 0, 0, true, {standard}},
        {{"-f", "fw.bin", "-i", "usb"}, 0, 0, true, {standard}},
        {{"-c", "-d", "b"}, 0, 0, true, {standard}},
        {{"-c", "-f", "r"}, 0, 0, true, {standard}},
        {{"-d", "dump.bin"}, EPERM, 0, false,
         {"korvex: cannot access I/O ports 0xCA2/0xCA3: Operation not permitted", nothingSent}},
        {fw, ENOSYS, 0, false, {"gives programs no port access"}},
        {fw, ENOTSUP, 0, false, {"no x86 I/O ports"}},
        {fw, EINVAL, 0, false, {"Invalid argument\n"}},
        {fw, EPERM, 0, false, {geteuid() == 0 ? "locked down" : "(run as root)"}},
        {fw, 0, 1, false,
         {"korvex: the kernel's IPMI driver is loaded (/sys/module/ipmi_si exists)", "modprobe -r ipmi_si",
          nothingSent}},
        {fw, 0, 2, true, {"warning"}},
    };
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.args.empty() ? "no arguments" : r.args[0] + " " + r.args.back());
        emptyFakeRoot();
        plant("/proc/ioports", kGuestIoports);
        if (r.driver != 0) kernelDriverLoaded();
        settings_.allowKernelDriver = r.driver == 2;
        refuseWith = r.refuse;
        asked.clear();
        EXPECT_EQ(run(r.args), r.runs) << message;
        for (const std::string& part : r.says) EXPECT_NE(message.find(part), std::string::npos) << message;
        if (r.says.empty()) {
            EXPECT_EQ(message, "");
            EXPECT_TRUE(asked.empty());
        } else if (r.refuse == 0 && r.driver == 0) {
            EXPECT_EQ(asked, (std::vector<uint16_t>{0xCA2, 0xCA3}));
        }
    }
    EXPECT_FALSE(std::filesystem::exists("dump.bin"));
}

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

struct KcsCfgRow {
    const char* what;
    Plant plant = Plant::File;
    std::string bytes = "CMD CA3 DATA CA2\n";
    mode_t mode = 0644;
    Owner owner = Owner::Runner;
    const char* ioports = kGuestIoports;  // nullptr: no /proc/ioports
    std::string smbios = {};              // the raw entry 38-0, none if empty
    bool acpi = false;                    // the ACPI device IPI0001:00 exists
    bool forcePorts = false;
    bool forceDriver = false;
    bool runs = false;
    std::vector<uint16_t> asked = {};  // of the kernel
    std::string says = {};             // refused: part of the one line; runs: the last line
    std::string warns = {};
};

TEST_F(Preflight, KcsCfgAndItsPorts) {
    const std::vector<uint16_t> standard = {0xCA2, 0xCA3};
    const std::string standardLine = "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (default)\n";
    const std::string fromCfg = "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (from kcs.cfg)\n";
    const std::string ca5 = "korvex: KCS ports: command/status 0xCA5, data 0xCA4 (from kcs.cfg)\n";
    const std::string qemuSmbios = smbios38(1, 0xCA3, 0x01);
    std::string ipmiSi = kGuestIoports;  // the kernel's driver on the KCS registers
    ipmiSi.insert(ipmiSi.find("    0ca3-0ca3"), "      0ca2-0ca2 : ipmi_si\n");
    const std::string bigCfg = std::string(4080, ' ') + "CMD CA5 DATA CA4";
    // clang-format off
    const KcsCfgRow rows[] = {
        {.what = "none", .plant = Plant::None, .runs = true, .asked = standard, .says = standardLine},
        {.what = "good", .bytes = "CMD CA5\nDATA CA4\n", .runs = true, .asked = {0xCA4, 0xCA5}, .says = ca5},
        {.what = "user's", .owner = Owner::RunningUser, .runs = true, .asked = standard, .says = fromCfg},
        {.what = "link", .plant = Plant::Symlink, .says = "kcs.cfg refused: it is a symbolic link"},
        {.what = "fifo", .plant = Plant::Fifo, .says = "kcs.cfg refused: it is a FIFO"},
        {.what = "owner", .owner = Owner::Other, .says = "kcs.cfg refused: it is owned by uid "},
        {.what = "g+w", .mode = 0664, .says = "kcs.cfg refused: others than its owner may write it (mode 0664)"},
        {.what = "o+w", .mode = 0646, .says = "(mode 0646)"},
        {.what = "4 KiB", .bytes = bigCfg, .runs = true, .asked = {0xCA4, 0xCA5}, .says = ca5},
        {.what = "too big", .bytes = " " + bigCfg, .says = "kcs.cfg refused: it is larger than 4096 bytes"},
        {.what = "0x", .bytes = "CMD 0xCA3 DATA CA2", .says = "(from kcs.cfg) refused: the command/status port is 0;"},
        {.what = "0xFF", .bytes = "CMD CA3 DATA FF", .says = "refused: the data port 0xFF is below 0x100"},
        {.what = "0x100", .bytes = "CMD CA3 DATA 100", .runs = true, .asked = {0x100, 0xCA3},
         .says = "korvex: KCS ports: command/status 0xCA3, data 0x100 (from kcs.cfg)\n"},
        {.what = "reset", .bytes = "CMD CF9 DATA CF8", .asked = {0xCF8, 0xCF9},
         .says = "refused: port 0xCF8 is held by \"PCI conf1\" (/proc/ioports)"},
        {.what = "nested", .bytes = "CMD 605 DATA 604", .asked = {0x604, 0x605}, .says = "\"ACPI PM1a_CNT_BLK\""},
        {.what = "ipmi_si", .plant = Plant::None, .ioports = ipmiSi.c_str(), .forceDriver = true, .asked = standard,
         .says = "(default) refused: port 0xCA2 is held by the kernel's IPMI driver (ipmi_si in /proc/ioports)"},
        {.what = "hidden", .ioports = "0000-0000 : PCI Bus 0000:00\n  0000-0000 : dma1\n", .runs = true,
         .asked = standard, .says = fromCfg, .warns = "/proc/ioports hides its addresses"},
        {.what = "no ioports", .ioports = nullptr, .runs = true, .asked = standard, .says = fromCfg,
         .warns = "cannot read /proc/ioports"},
        {.what = "smbios", .plant = Plant::None, .smbios = qemuSmbios, .runs = true, .asked = standard,
         .says = standardLine},
        {.what = "smbios differs", .bytes = "CMD CA5 DATA CA4", .smbios = qemuSmbios, .asked = {0xCA4, 0xCA5},
         .says = "command/status 0xCA3, data 0xCA2 (SMBIOS); to use those, put \"CMD CA3 DATA CA2\" into kcs.cfg"},
        {.what = "forced", .bytes = "CMD CA5 DATA CA4", .smbios = qemuSmbios, .forcePorts = true, .runs = true,
         .asked = {0xCA4, 0xCA5}, .says = ca5, .warns = "(SMBIOS); going ahead as told (--force-ports)"},
        {.what = "spacing 4", .plant = Plant::None, .smbios = smbios38(1, 0xCA9, 0x41), .asked = standard,
         .says = "put \"CMD CAC DATA CA8\" into kcs.cfg"},
        {.what = "odd", .bytes = "CMD CA4 DATA CA3", .smbios = smbios38(1, 0xCA3, 0x11), .runs = true,
         .asked = {0xCA3, 0xCA4}, .says = "korvex: KCS ports: command/status 0xCA4, data 0xCA3 (from kcs.cfg)\n"},
        {.what = "memory", .plant = Plant::None, .smbios = smbios38(1, 0xFED40000, 0x00), .asked = standard,
         .says = "as memory-mapped at 0xFED40000 (SMBIOS)"},
        {.what = "old entry", .plant = Plant::None, .smbios = smbios38(1, 0xCA3, 0xC0, 0x10), .runs = true,
         .asked = standard, .says = standardLine},
        {.what = "BT", .plant = Plant::None, .smbios = smbios38(3, 0xE5, 0x01), .runs = true, .asked = standard,
         .says = standardLine},
        {.what = "acpi", .plant = Plant::None, .acpi = true, .runs = true, .asked = standard, .says = standardLine},
        {.what = "acpi differs", .bytes = "CMD CA5 DATA CA4", .acpi = true, .asked = {0xCA4, 0xCA5},
         .says = "data 0xCA2 (ACPI IPI0001:00)"},
        {.what = "acpi two", .bytes = "CMD CAC DATA CA8",
         .ioports = "0ca8-0ca8 : IPI0001:00\n0cac-0cac : IPI0001:00\n", .acpi = true, .runs = true,
         .asked = {0xCA8, 0xCAC}, .says = "korvex: KCS ports: command/status 0xCAC, data 0xCA8 (from kcs.cfg)\n"},
    };
    // clang-format on
    const uid_t self = geteuid();
    for (const KcsCfgRow& r : rows) {
        std::filesystem::remove("kcs.cfg");
        emptyFakeRoot();
        if (r.ioports != nullptr) plant("/proc/ioports", r.ioports);
        if (!r.smbios.empty()) plant("/sys/firmware/dmi/entries/38-0/raw", r.smbios);
        if (r.acpi) plant("/sys/bus/acpi/devices/IPI0001:00/hid", "IPI0001\n");
        if (r.plant == Plant::File) test::writeFile("kcs.cfg", r.bytes);
        if (r.plant == Plant::Symlink) {
            test::writeFile("real.cfg", r.bytes);
            ASSERT_EQ(symlink("real.cfg", "kcs.cfg"), 0);
        }
        if (r.plant == Plant::Fifo) {
            ASSERT_EQ(mkfifo("kcs.cfg", 0644), 0);
        }
        if (r.plant == Plant::File) {
            ASSERT_EQ(chmod("kcs.cfg", r.mode), 0);
        }
        settings_.user = self;
        if (r.owner != Owner::Runner && self == 0) {
            ASSERT_EQ(chown("kcs.cfg", 4242, static_cast<gid_t>(-1)), 0);
            if (r.owner == Owner::RunningUser) settings_.user = 4242;
        } else if (r.owner == Owner::Other) {
            settings_.user = self + 1;
        }
        settings_.forcePorts = r.forcePorts;
        settings_.allowKernelDriver = r.forceDriver;
        asked.clear();
        EXPECT_EQ(run({"-d", "dump.bin"}), r.runs) << r.what << ": " << message;
        EXPECT_EQ(asked, r.asked) << r.what;
        if (r.runs) {
            EXPECT_TRUE(message.ends_with(r.says)) << r.what << ": " << message;
            EXPECT_NE(message.find(r.warns), std::string::npos) << r.what << ": " << message;
            // The run reads the bytes that were checked, whatever kcs.cfg holds by then.
            std::filesystem::remove("kcs.cfg");
            test::writeFile("kcs.cfg", "CMD CF9 DATA 70");
            EXPECT_EQ(portsOfTheRun(), r.asked) << r.what;
        } else {
            EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << r.what << ": " << message;
            EXPECT_NE(message.find(r.says), std::string::npos) << r.what << ": " << message;
        }
    }
}

}  // namespace
}  // namespace korvex::linuxhost
