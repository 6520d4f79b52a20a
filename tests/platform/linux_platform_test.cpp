// The Linux build's timers, sleep, port access and its check before a run.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

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

TEST(MonotonicTimers, SlotsAreReusedIndependentAndChecked) {
    MonotonicTimers timers;
    TimerId a = 0;
    TimerId b = 0;
    ASSERT_TRUE(timers.create(&a));
    ASSERT_TRUE(timers.create(&b));
    EXPECT_NE(a, b);
    ASSERT_TRUE(timers.armRelative(a, 0));
    ASSERT_TRUE(timers.armRelative(b, kThirtySeconds));
    EXPECT_FALSE(timers.fired(b));
    EXPECT_TRUE(timers.fired(a));
    timers.close(a);
    EXPECT_FALSE(timers.armRelative(a, 0)) << "closed";
    EXPECT_FALSE(timers.fired(a));
    EXPECT_FALSE(timers.armRelative(0, 0));
    EXPECT_FALSE(timers.armRelative(999, 0));
    timers.cancel(999);
    timers.close(999);
    TimerId c = 0;
    ASSERT_TRUE(timers.create(&c));
    EXPECT_EQ(c, a);
    EXPECT_FALSE(timers.fired(c)) << "a reused slot kept the old arming";
    EXPECT_EQ(timers.openCount(), 2u);
    timers.close(b);
    timers.close(c);
    EXPECT_EQ(timers.openCount(), 0u);
}

TEST(SleepStall, SleepsAtLeastTheTimeAsked) {
    SleepStall stall;
    for (uint64_t us : {0u, 1u, 1500u, 20000u}) {
        const auto start = Clock::now();
        stall.stall(us);
        EXPECT_GE(Clock::now() - start, std::chrono::microseconds(us)) << us;
    }
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

struct PortsCase {
    KcsPortSet set;
    std::vector<uint16_t> distinct;
    const char* text;
};

TEST(PortSetText, DistinctPortsAscending) {
    const PortsCase cases[] = {
        {{0xCA3, 0xCA3, 0xCA2}, {0xCA2, 0xCA3}, "0xCA2/0xCA3"},
        {{0xCA5, 0xCA5, 0xCA5}, {0xCA5}, "0xCA5"},
        {{0, 0, 0xCA2}, {0, 0xCA2}, "0x0/0xCA2"},
        {{0x1CA3, 0xCA3, 0x2CA2}, {0xCA3, 0x1CA3, 0x2CA2}, "0xCA3/0x1CA3/0x2CA2"},
        {{0x10CA3, 0x10CA3, 0xCA2}, {0xCA2, 0xCA3}, "0xCA2/0xCA3"},  // the low 16 bits address the port
    };
    for (const PortsCase& c : cases) {
        EXPECT_EQ(distinctPorts(c.set), c.distinct) << c.text;
        EXPECT_EQ(describePorts(distinctPorts(c.set)), c.text);
    }
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

// Runs preflight in a scratch directory (for kcs.cfg) with a fake grant.
class Preflight : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        settings_.root = fakeRoot_.path();
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
        const bool ok = preflight(platform_, grant, static_cast<int>(args.size()), argv.data(), settings_, err);
        message.assign(static_cast<size_t>(ftell(err)), '\0');
        rewind(err);
        message.resize(fread(message.data(), 1, message.size(), err));
        fclose(err);
        return ok;
    }
    void kernelDriverLoaded() {
        std::filesystem::create_directories(fakeRoot_.path() + "/sys/module/ipmi_si");
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
    hosted::HeapMemory memory_;
    Platform platform_{ports_, timers_, stall_, console_, files_, memory_};
};

TEST_F(Preflight, RunsThatNeverReachTheBmcNeedNoPorts) {
    refuseWith = EPERM;
    kernelDriverLoaded();
    const std::vector<std::vector<std::string>> lines = {{}, {"-i", "nfs", "-f", "x"}, {"-r"}, {"-c"}};
    for (const auto& line : lines) {
        EXPECT_TRUE(run(line));
        EXPECT_TRUE(asked.empty());
        EXPECT_EQ(message, "");
    }
}

TEST_F(Preflight, EveryJobAsksForTheDefaultPorts) {
    const std::vector<std::vector<std::string>> lines = {
        {"-f", "fw.bin"}, {"-d", "dump.bin"}, {"-f", "fw.bin", "-i", "usb"}, {"-c", "-d", "b"}, {"-c", "-f", "r"}};
    for (const auto& line : lines) {
        asked.clear();
        EXPECT_TRUE(run(line));
        EXPECT_EQ(asked, (std::vector<uint16_t>{0xCA2, 0xCA3}));
        EXPECT_EQ(message, "");
    }
    EXPECT_FALSE(std::filesystem::exists("dump.bin"));
    EXPECT_FALSE(std::filesystem::exists("b"));
}

TEST_F(Preflight, PortsComeFromKcsCfg) {
    if (parseKcsPortNumber("CA5") != 0xCA5) GTEST_SKIP() << "kcs.cfg is not read yet";
    test::writeFile("kcs.cfg", "CMD CA5\nDATA CA4\n");
    EXPECT_TRUE(run({"-d", "dump.bin"}));
    EXPECT_EQ(asked, (std::vector<uint16_t>{0xCA4, 0xCA5}));
}

TEST_F(Preflight, RefusalNamesThePortsAndTheReason) {
    refuseWith = EPERM;
    EXPECT_FALSE(run({"-d", "dump.bin"}));
    EXPECT_EQ(message.rfind("korvex: cannot access I/O ports 0xCA2/0xCA3: Operation not permitted", 0), 0u)
        << message;
    EXPECT_NE(message.find("nothing was sent to the BMC"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("dump.bin"));
}

TEST_F(Preflight, RefusalReasonsByError) {
    const struct {
        int error;
        const char* hint;
    } cases[] = {
        {ENOSYS, "gives programs no port access"},
        {ENOTSUP, "no x86 I/O ports"},
        {EINVAL, "Invalid argument\n"},
        {EPERM, geteuid() == 0 ? "locked down" : "(run as root)"},
    };
    for (const auto& c : cases) {
        refuseWith = c.error;
        EXPECT_FALSE(run({"-f", "fw.bin"}));
        EXPECT_NE(message.find(c.hint), std::string::npos) << message;
    }
}

TEST_F(Preflight, KernelDriverStopsTheRunUnlessForced) {
    kernelDriverLoaded();
    EXPECT_FALSE(run({"-f", "fw.bin"}));
    EXPECT_NE(message.find("korvex: the kernel's IPMI driver is loaded (/sys/module/ipmi_si exists)"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("modprobe -r ipmi_si"), std::string::npos);
    EXPECT_NE(message.find("nothing was sent to the BMC"), std::string::npos);

    settings_.allowKernelDriver = true;
    EXPECT_TRUE(run({"-f", "fw.bin"}));
    EXPECT_NE(message.find("warning"), std::string::npos);
}

}  // namespace
}  // namespace korvex::linuxhost
